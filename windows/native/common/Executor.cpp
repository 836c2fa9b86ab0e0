// Child processes: command-line quoting, CreateProcessW with the start options, the wait and the exit code.
#include "Executor.h"

#include "Log.h"
#include "MsiCommandLine.h"
#include "WinErrorHandling.h"

#include <utility>
#include <vector>

namespace {

// The longest command line CreateProcessW takes, without its terminator. Windows refuses a longer one; Wine
// cuts it, which would hand the child a different argument list, so the executor refuses it everywhere.
constexpr size_t kMaxCommandLineLength = 32766;

bool hasBlank(const tstring& s) { return s.find_first_of(L" \t") != tstring::npos; }

// NAME=value with a blank in the value becomes NAME="value" with inner double quotes doubled, the only form
// in which the installer program accepts such a value (quotes around the whole element make it reject the
// line). NAME="..." is kept as it is. False when `arg` is no property assignment.
bool quotePropertyValue(tstring& arg) {
    const size_t equals = arg.find(L'=');
    if (equals == tstring::npos || !msi::isPropertyName(arg.substr(0, equals))) {
        return false;
    }
    const tstring value = arg.substr(equals + 1);
    const bool alreadyQuoted = value.size() > 1 && value.front() == L'"' && value.back() == L'"';
    if (!alreadyQuoted && hasBlank(value)) {
        arg = arg.substr(0, equals + 1) + L'"' + tstrings::replaceAll(value, L"\"", L"\"\"") + L'"';
    }
    return true;
}

} // namespace

Executor::Executor(const tstring& programPath)
    : visible(false), inheritHandles(false), suspended(false), jobObject(nullptr), appPath(programPath) {}

Executor& Executor::addArg(const tstring& arg) {
    args.push_back(arg);
    return *this;
}

Executor& Executor::setArgumentText(const tstring& text) {
    argumentText = text;
    return *this;
}

Executor& Executor::setVisible(bool enabled) {
    visible = enabled;
    return *this;
}

Executor& Executor::setInheritHandles(bool enabled) {
    inheritHandles = enabled;
    return *this;
}

Executor& Executor::setSuspended(bool enabled) {
    suspended = enabled;
    return *this;
}

Executor& Executor::setJobObject(HANDLE job) {
    jobObject = job;
    return *this;
}

Executor& Executor::setAfterStart(std::function<void(HANDLE)> hook) {
    afterStart = std::move(hook);
    return *this;
}

void Executor::quoteArg(tstring& arg) {
    const bool quotedWhole = arg.size() > 1 && arg.front() == L'"' && arg.back() == L'"';
    // An empty element has no blank, so it stays empty.
    if (quotedWhole || !hasBlank(arg)) {
        return;
    }
    arg = L'"' + arg + L'"';
}

tstring Executor::buildCommandLine() const {
    tstring_array elements;
    elements.reserve(args.size() + 1);
    // The program path is never a property assignment: "a=b c.exe" must stay one first token.
    elements.push_back(appPath);
    quoteArg(elements.back());
    for (const tstring& arg : args) {
        elements.push_back(arg);
        if (!quotePropertyValue(elements.back())) {
            quoteArg(elements.back());
        }
    }
    if (!argumentText.empty()) {
        elements.push_back(argumentText);
    }
    return tstrings::joinRange(elements.begin(), elements.end(), L" ");
}

OwnedHandle Executor::startProcess(OwnedHandle* threadHandle) const {
    const tstring commandLine = buildCommandLine();
    // CreateProcessW may write into its command line.
    std::vector<wchar_t> commandBuffer(commandLine.begin(), commandLine.end());
    commandBuffer.push_back(L'\0');

    STARTUPINFOW startupInfo{};
    startupInfo.cb = sizeof(startupInfo);
    PROCESS_INFORMATION processInfo{};

    DWORD creationFlags = 0;
    if (suspended) {
        creationFlags = CREATE_SUSPENDED;
    }
    if (!visible) {
        startupInfo.dwFlags |= STARTF_USESHOWWINDOW;
        startupInfo.wShowWindow = SW_HIDE;
        creationFlags |= CREATE_NO_WINDOW;
    }

    MessageBuilder operation;
    operation << "CreateProcess";
    if (suspended) {
        operation << "[suspended]";
    }
    if (visible) {
        operation << "[visible]";
    }
    if (inheritHandles) {
        operation << "[inherit]";
    }
    operation << "(" << appPath << ", " << commandLine << ")";

    if (commandLine.size() > kMaxCommandLineLength) {
        operation << " failed";
        KR_RAISE(SysError(operation, CreateProcessW, ERROR_FILENAME_EXCED_RANGE, "System error"));
    }
    if (!CreateProcessW(appPath.c_str(), commandBuffer.data(), nullptr, nullptr, inheritHandles ? TRUE : FALSE,
                        creationFlags, nullptr, nullptr, &startupInfo, &processInfo)) {
        const DWORD code = GetLastError();
        operation << " failed";
        KR_RAISE(SysError(operation, CreateProcessW, code, "System error"));
    }
    OwnedHandle process(processInfo.hProcess);
    OwnedHandle thread(processInfo.hThread);

    KR_TRACE(operation << " succeeded; PID=" << processInfo.dwProcessId);

    if (threadHandle) {
        *threadHandle = std::move(thread);
    } else {
        thread.reset();
    }

    if (jobObject) {
        KR_TRACE("AssignProcessToJobObject(PID=" << processInfo.dwProcessId << ")");
        if (!AssignProcessToJobObject(jobObject, process.get())) {
            const DWORD code = GetLastError();
            // Outside its job the child escapes the caller's control, and the caller never gets its handle.
            TerminateProcess(process.get(), ERROR_PROCESS_ABORTED);
            KR_RAISE(SysError(MessageBuilder("AssignProcessToJobObject() failed"), AssignProcessToJobObject, code,
                              "System error"));
        }
    }

    if (afterStart) {
        afterStart(process.get());
    }
    return process;
}

int Executor::execAndWaitForExit() const {
    OwnedHandle thread;
    const OwnedHandle process = startProcess(&thread);

    if (suspended) {
        KR_TRACE("ResumeThread()");
        if (ResumeThread(thread.get()) == static_cast<DWORD>(-1)) {
            const DWORD code = GetLastError();
            KR_RAISE(SysError(MessageBuilder("ResumeThread() failed"), ResumeThread, code, "System error"));
        }
    }

    if (WaitForSingleObject(process.get(), INFINITE) == WAIT_FAILED) {
        const DWORD code = GetLastError();
        KR_RAISE(SysError(MessageBuilder("WaitForSingleObject() failed"), WaitForSingleObject, code, "System error"));
    }

    DWORD exitCode = 0;
    if (!GetExitCodeProcess(process.get(), &exitCode)) {
        const DWORD code = GetLastError();
        KR_RAISE(SysError(MessageBuilder("GetExitCodeProcess() failed"), GetExitCodeProcess, code, "System error"));
    }

    const DWORD processId = GetProcessId(process.get());
    if (processId == 0) {
        const DWORD code = GetLastError();
        KR_RAISE(SysError(MessageBuilder("GetProcessId() failed."), GetProcessId, code, "System error"));
    }

    KR_TRACE("Process with PID=" << processId << " terminated. Exit code=" << exitCode);
    return static_cast<int>(exitCode);
}
