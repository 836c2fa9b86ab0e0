// kr-frame-probe: a GUI program that runs app::wlaunch with a main routine chosen by its first argument and
// returns the stored exit code, as the launcher does. Modes:
//   return [code]    returns, after storing `code` when given
//   krerror <text>   raises a KrError with <text>
//   syserror <path>  raises the SysError of CreateDirectoryW(<path>)
//   runtime <errno>  sets errno, then throws a plain std::runtime_error
//   int              throws an int
//   nested <text>    as krerror, with a hook that writes a record while the message box is shown
//   args             (also with no argument at all) prints getCommandArgs in both modes, then the argument
//                    text, stores 0: "exclude:<element>" lines, "include:<element>" lines, "text:<text>"
//   paths            prints getProcessModulePath and getCurrentModulePath, stores 0
// Printed lines are UTF-8 on standard output.
#include "WinApp.h"
#include "WinErrorHandling.h"
#include "WinSysInfo.h"

#include <windows.h>

#include <cerrno>
#include <stdexcept>
#include <string>

namespace {

int storedExitCode = -1;
HHOOK boxHook = nullptr;

void writeLine(const tstring& text) {
    const std::string bytes = tstrings::encodeUtf8(text) + "\n";
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
}

void printArgs(const tstring& prefix, SysInfo::CommandArgProgramNameMode mode) {
    for (const tstring& arg : SysInfo::getCommandArgs(mode)) {
        writeLine(prefix + arg);
    }
}

// Runs inside MessageBoxW when the box is activated, so its record reaches the box's own appender.
LRESULT CALLBACK recordWhileBoxIsShown(int code, WPARAM wParam, LPARAM lParam) {
    if (code == HCBT_ACTIVATE && boxHook) {
        UnhookWindowsHookEx(boxHook);
        boxHook = nullptr;
        KR_ERROR("record written while the message box is shown");
    }
    return CallNextHookEx(nullptr, code, wParam, lParam);
}

void probeMain() {
    const tstring_array args = SysInfo::getCommandArgs(SysInfo::CommandArgProgramNameMode::ExcludeProgramName);
    const tstring mode = args.empty() ? L"args" : args[0];
    if (mode == L"return") {
        if (args.size() > 1) {
            storedExitCode = std::stoi(args[1]);
        }
    } else if (mode == L"krerror") {
        KR_RAISE(MessageBuilder() << args.at(1));
    } else if (mode == L"syserror") {
        if (!CreateDirectoryW(args.at(1).c_str(), nullptr)) {
            const DWORD code = GetLastError();
            KR_RAISE(SysError(MessageBuilder() << "CreateDirectoryW(" << args.at(1) << ") failed", CreateDirectoryW,
                              code, "System error"));
        }
    } else if (mode == L"runtime") {
        errno = std::stoi(args.at(1));
        throw std::runtime_error("plain runtime error");
    } else if (mode == L"int") {
        throw 42;
    } else if (mode == L"nested") {
        boxHook = SetWindowsHookExW(WH_CBT, recordWhileBoxIsShown, nullptr, GetCurrentThreadId());
        KR_RAISE(MessageBuilder() << args.at(1));
    } else if (mode == L"args") {
        printArgs(L"exclude:", SysInfo::CommandArgProgramNameMode::ExcludeProgramName);
        printArgs(L"include:", SysInfo::CommandArgProgramNameMode::IncludeProgramName);
        writeLine(L"text:" + SysInfo::getArgumentText());
        storedExitCode = 0;
    } else if (mode == L"paths") {
        writeLine(SysInfo::getProcessModulePath());
        writeLine(SysInfo::getCurrentModulePath());
        storedExitCode = 0;
    } else {
        KR_RAISE(MessageBuilder() << "unknown mode '" << mode << "'");
    }
}

} // namespace

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
    app::wlaunch(std::nothrow, probeMain);
    return storedExitCode;
}
