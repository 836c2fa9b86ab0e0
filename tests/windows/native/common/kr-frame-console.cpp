// kr-frame-console: runs a GUI program the way Windows runs one from a console window (the program has no
// console of its own; the console is its parent's) and reports what that console's screen shows.
// Usage: kr-frame-console [--no-console] <program> [args...]
//   --no-console: the parent has no console either.
// Standard output, UTF-8 lines: "console|<row>" for each non-blank screen row (trailing blanks cut), then
// "dialog|<caption>|<text>" for each message box the program showed (each answered with OK).
// Standard error: the program's standard error as it was captured. Exit code: the program's.
#include "krtest.h"

#include <windows.h>

#include <string>
#include <vector>

namespace {

struct OwnedHandle {
    explicit OwnedHandle(HANDLE value) : handle(value) {}
    ~OwnedHandle() {
        if (handle != INVALID_HANDLE_VALUE) {
            const DWORD lastError = GetLastError();
            CloseHandle(handle);
            SetLastError(lastError);
        }
    }
    OwnedHandle(const OwnedHandle&) = delete;
    OwnedHandle& operator=(const OwnedHandle&) = delete;
    const HANDLE handle;
};

// Wide enough that no record wraps onto a second row.
const COORD kScreenSize{1000, 200};

OwnedHandle openScreen() {
    return OwnedHandle(CreateFileW(L"CONOUT$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                   nullptr, OPEN_EXISTING, 0, nullptr));
}

std::vector<std::wstring> screenRows() {
    std::vector<std::wstring> rows;
    const OwnedHandle screen = openScreen();
    CONSOLE_SCREEN_BUFFER_INFO info{};
    if (!GetConsoleScreenBufferInfo(screen.handle, &info)) {
        return rows;
    }
    for (SHORT y = 0; y < info.dwSize.Y; ++y) {
        std::wstring row(static_cast<size_t>(info.dwSize.X), L' ');
        DWORD read = 0;
        ReadConsoleOutputCharacterW(screen.handle, row.data(), static_cast<DWORD>(row.size()), COORD{0, y}, &read);
        row.resize(read);
        row.erase(row.find_last_not_of(L' ') + 1);
        if (!row.empty()) {
            rows.push_back(row);
        }
    }
    return rows;
}

void write(HANDLE stream, const std::string& bytes) {
    DWORD written = 0;
    WriteFile(stream, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
}

} // namespace

int wmain(int argc, wchar_t** argv) {
    // Taken before the console changes, which may replace the standard handles.
    const HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    const HANDLE err = GetStdHandle(STD_ERROR_HANDLE);
    const bool withConsole = !(argc > 1 && std::wstring(argv[1]) == L"--no-console");
    const int first = withConsole ? 1 : 2;
    if (argc <= first) {
        write(err, "usage: kr-frame-console [--no-console] <program> [args...]\n");
        return 2;
    }
    FreeConsole();
    if (withConsole) {
        AllocConsole();
        SetConsoleScreenBufferSize(openScreen().handle, kScreenSize);
    }
    krtest::RunOptions options;
    options.timeoutMs = 60000;
    // Wine would otherwise hand the GUI program this console at start, which Windows does not.
    options.creationFlags = DETACHED_PROCESS;
    const krtest::RunResult result =
        krtest::run(argv[first], std::vector<std::wstring>(argv + first + 1, argv + argc), options);

    std::string report;
    if (withConsole) {
        for (const std::wstring& row : screenRows()) {
            report += "console|" + krtest::utf8(row) + "\n";
        }
    }
    for (const krtest::Dialog& dialog : result.dialogs) {
        report += "dialog|" + krtest::utf8(dialog.caption) + "|" + krtest::utf8(dialog.text) + "\n";
    }
    write(out, report);
    write(err, result.err);
    return static_cast<int>(result.exitCode);
}
