// Lines of text on the standard streams of a Windows process: UTF-16 on a console, so any product name shows;
// UTF-8 with CR LF line ends on a pipe or a file. Each line is written whole before the call returns.
#include "WideText.h"
#include "io/Platform.h"

#include "WinErrorHandling.h"

#include <windows.h>

namespace pack::platform {

namespace {

std::string systemText(DWORD code) { return narrow(getSystemErrorText(code, nullptr)); }

// `write(at, count, &written)` is WriteConsoleW's or WriteFile's call on the stream; it is repeated until all of
// `text` is written. Returns the system's reason when a call fails or writes nothing.
template <class Text, class Write>
std::string writeWhole(const Text& text, Write write) {
    for (size_t done = 0; done < text.size();) {
        DWORD written = 0;
        if (!write(text.data() + done, static_cast<DWORD>(text.size() - done), &written)) {
            const DWORD code = GetLastError();
            return systemText(code);
        }
        if (written == 0) {
            return systemText(ERROR_WRITE_FAULT);
        }
        done += written;
    }
    return std::string();
}

} // namespace

std::string writeLine(Stream stream, const std::string& text) {
    const HANDLE handle = GetStdHandle(stream == Stream::Err ? STD_ERROR_HANDLE : STD_OUTPUT_HANDLE);
    DWORD mode = 0;
    if (GetConsoleMode(handle, &mode)) {
        return writeWhole(widen(text + "\n"), [handle](const wchar_t* at, DWORD count, DWORD* written) {
            return WriteConsoleW(handle, at, count, written, nullptr);
        });
    }
    std::string line;
    for (const char c : text + "\n") {
        if (c == '\n') {
            line += '\r';
        }
        line += c;
    }
    return writeWhole(line, [handle](const char* at, DWORD count, DWORD* written) {
        return WriteFile(handle, at, count, written, nullptr);
    });
}

} // namespace pack::platform
