// Running a child with a time limit and a bound on its output, in a job object that ends it with the packer.
#include "ChildProcess.h"

#include "PackError.h"
#include "WideText.h"

#include "OwnedHandle.h"
#include "WinErrorHandling.h"

#include <windows.h>

#include <algorithm>
#include <optional>

namespace pack::platform {

namespace {

using Clock = std::chrono::steady_clock;

// What the pipe holds before the child waits for the packer to read.
constexpr DWORD kPipeSize = 1024 * 1024;
// How long the packer waits for the child between looks at the pipe.
constexpr DWORD kLookMilliseconds = 5;

[[noreturn]] void cannotStart(const std::string& program, DWORD code) {
    throw Error("Cannot start " + quoted(program) + ": " + narrow(getSystemErrorText(code, nullptr)));
}

// `argument` as CommandLineToArgvW and the C runtime read it back: quoted when it holds a blank, a tab or a quote
// or is empty, with the backslashes before a quote doubled.
std::wstring commandLineArgument(const std::wstring& argument) {
    if (!argument.empty() && argument.find_first_of(L" \t\n\v\"") == std::wstring::npos) {
        return argument;
    }
    std::wstring quoted = L"\"";
    size_t backslashes = 0;
    for (const wchar_t c : argument) {
        if (c == L'\\') {
            ++backslashes;
            continue;
        }
        quoted.append(c == L'"' ? backslashes * 2 + 1 : backslashes, L'\\');
        quoted += c;
        backslashes = 0;
    }
    quoted.append(backslashes * 2, L'\\');
    return quoted + L"\"";
}

// The started child until it has ended: when the owner goes early, the child and all it started are ended first.
class Child {
public:
    Child(HANDLE process, HANDLE job) : process_(process), job_(job) {}
    ~Child() {
        if (running_) {
            kill();
        }
    }
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    // True once it has ended, after waiting up to `milliseconds` for that.
    bool ended(DWORD milliseconds) {
        if (WaitForSingleObject(process_.get(), milliseconds) == WAIT_OBJECT_0) {
            running_ = false;
        }
        return !running_;
    }

    void kill() {
        if (!job_ || !TerminateJobObject(job_, ERROR_TIMEOUT)) {
            TerminateProcess(process_.get(), ERROR_TIMEOUT);
        }
        WaitForSingleObject(process_.get(), INFINITE);
        running_ = false;
    }

    uint32_t exitCode() const {
        DWORD code = 0;
        GetExitCodeProcess(process_.get(), &code);
        return code;
    }

private:
    OwnedHandle process_;
    HANDLE job_;
    bool running_ = true;
};

} // namespace

std::string ownProgramPath() {
    std::vector<wchar_t> buffer(MAX_PATH);
    for (;;) {
        const DWORD length = GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
        if (length == 0) {
            throw Error("Cannot tell where the packer itself lies: " +
                        narrow(getSystemErrorText(GetLastError(), nullptr)));
        }
        if (length < buffer.size()) {
            return narrow(std::wstring(buffer.data(), length));
        }
        buffer.resize(buffer.size() * 2);
    }
}

ChildResult runChild(const std::string& program, const std::vector<std::string>& arguments,
                     std::chrono::milliseconds timeLimit, size_t outputLimit) {
    const Clock::time_point deadline = Clock::now() + timeLimit;
    std::wstring commandLine = commandLineArgument(widen(program));
    for (const std::string& argument : arguments) {
        commandLine += L" " + commandLineArgument(widen(argument));
    }

    SECURITY_ATTRIBUTES inherited = {sizeof inherited, nullptr, TRUE};
    HANDLE readEnd = nullptr;
    HANDLE writeEnd = nullptr;
    if (!CreatePipe(&readEnd, &writeEnd, &inherited, kPipeSize)) {
        cannotStart(program, GetLastError());
    }
    const OwnedHandle output(readEnd);
    OwnedHandle childOutput(writeEnd);
    if (!SetHandleInformation(output.get(), HANDLE_FLAG_INHERIT, 0)) {
        cannotStart(program, GetLastError());
    }
    const HANDLE nul = CreateFileW(L"NUL", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                   &inherited, OPEN_EXISTING, 0, nullptr);
    if (nul == INVALID_HANDLE_VALUE) {
        cannotStart(program, GetLastError());
    }
    const OwnedHandle nothing(nul);

    // Closing the packer's only handle, at the latest when the packer ends however it ends, kills the child and
    // all it started; a crash ends the child at once, without the system's error box.
    const OwnedHandle job(CreateJobObjectW(nullptr, nullptr));
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits = {};
    limits.BasicLimitInformation.LimitFlags =
        JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE | JOB_OBJECT_LIMIT_DIE_ON_UNHANDLED_EXCEPTION;
    if (!job.get() ||
        !SetInformationJobObject(job.get(), JobObjectExtendedLimitInformation, &limits, sizeof limits)) {
        cannotStart(program, GetLastError());
    }

    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = nothing.get();
    startup.hStdOutput = childOutput.get();
    startup.hStdError = nothing.get();
    PROCESS_INFORMATION started = {};
    if (!CreateProcessW(widen(program).c_str(), commandLine.data(), nullptr, nullptr, TRUE,
                        CREATE_SUSPENDED | CREATE_NO_WINDOW, nullptr, nullptr, &startup, &started)) {
        cannotStart(program, GetLastError());
    }
    const OwnedHandle thread(started.hThread);
    // A packer that itself runs in a job that forbids another may not give the child one; the time limit and the
    // bound on its output still end it.
    const bool inJob = AssignProcessToJobObject(job.get(), started.hProcess);
    Child child(started.hProcess, inJob ? job.get() : nullptr);
    // The child's end of the pipe is the child's alone, so that the pipe breaks when the child ends.
    childOutput.reset();
    if (ResumeThread(thread.get()) == static_cast<DWORD>(-1)) {
        cannotStart(program, GetLastError());
    }

    ChildResult result;
    std::optional<ChildResult::End> killedFor;
    for (;;) {
        DWORD available = 0;
        if (!PeekNamedPipe(output.get(), nullptr, 0, nullptr, &available, nullptr)) {
            break; // broken: the child has ended and all it wrote is read
        }
        if (available > 0) {
            char piece[65536];
            DWORD count = 0;
            if (!ReadFile(output.get(), piece, std::min<DWORD>(available, sizeof piece), &count, nullptr)) {
                break;
            }
            if (result.output.size() + count > outputLimit) {
                killedFor = ChildResult::End::OutputTooLong;
                break;
            }
            result.output.append(piece, count);
            continue;
        }
        const auto remaining = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (remaining <= 0) {
            killedFor = ChildResult::End::TimedOut;
            break;
        }
        // Nothing to read: the child is still at work, or has ended with all it wrote read.
        if (child.ended(static_cast<DWORD>(std::min<long long>(remaining, kLookMilliseconds))) &&
            PeekNamedPipe(output.get(), nullptr, 0, nullptr, &available, nullptr) && available == 0) {
            break;
        }
    }
    if (!killedFor) {
        const auto remaining = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (!child.ended(static_cast<DWORD>(std::max<long long>(remaining, 0)))) {
            killedFor = ChildResult::End::TimedOut;
        }
    }
    if (killedFor) {
        child.kill();
        result.end = *killedFor;
        result.output.clear();
        return result;
    }
    result.exitCode = child.exitCode();
    return result;
}

} // namespace pack::platform
