// Lines of text on the standard streams of a Windows process: UTF-16 on a console, so any product name shows;
// UTF-8 on a pipe or a file.
#include "Platform.h"
#include "WideText.h"

#include <windows.h>

#include <cstdio>

namespace pack::platform {

void writeLine(Stream stream, const std::string& text) {
    const HANDLE handle = GetStdHandle(stream == Stream::Err ? STD_ERROR_HANDLE : STD_OUTPUT_HANDLE);
    DWORD mode = 0;
    if (GetConsoleMode(handle, &mode)) {
        const std::wstring line = widen(text + "\n");
        DWORD written = 0;
        WriteConsoleW(handle, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
        return;
    }
    std::FILE* const file = stream == Stream::Err ? stderr : stdout;
    std::fwrite(text.data(), 1, text.size(), file);
    std::fputc('\n', file);
    std::fflush(file);
}

} // namespace pack::platform
