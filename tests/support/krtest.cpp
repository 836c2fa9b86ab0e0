// Test support: child processes with captured streams, full exit codes and answered message boxes.
#include "krtest.h"

#include <algorithm>
#include <cstdio>
#include <stdexcept>
#include <thread>

namespace krtest {
namespace {

struct Handle {
    HANDLE h = nullptr;
    Handle() = default;
    explicit Handle(HANDLE value) : h(value) {}
    ~Handle() {
        if (h && h != INVALID_HANDLE_VALUE) {
            CloseHandle(h);
        }
    }
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
};

[[noreturn]] void fail(const std::string& what) {
    throw std::runtime_error(what + " failed, error " + std::to_string(GetLastError()));
}

void readAll(HANDLE pipe, std::string* into) {
    char buffer[4096];
    DWORD count = 0;
    while (ReadFile(pipe, buffer, sizeof(buffer), &count, nullptr) && count > 0) {
        into->append(buffer, count);
    }
}

// What a pipe holds now, without waiting for more.
std::string availableOutput(HANDLE pipe) {
    std::string text;
    char buffer[4096];
    DWORD available = 0;
    DWORD count = 0;
    while (PeekNamedPipe(pipe, nullptr, 0, nullptr, &available, nullptr) && available > 0 &&
           ReadFile(pipe, buffer, sizeof(buffer), &count, nullptr) && count > 0) {
        text.append(buffer, count);
    }
    return text;
}

std::wstring environmentBlock(const RunOptions& options) {
    std::vector<std::wstring> entries;
    wchar_t* strings = GetEnvironmentStringsW();
    for (const wchar_t* p = strings; *p; p += wcslen(p) + 1) {
        entries.emplace_back(p);
    }
    FreeEnvironmentStringsW(strings);
    auto upper = [](std::wstring text) {
        _wcsupr(text.data());
        return text;
    };
    auto remove = [&](const std::wstring& name) {
        std::vector<std::wstring> kept;
        for (const auto& entry : entries) {
            if (upper(entry.substr(0, entry.find(L'=', 1))) != upper(name)) {
                kept.push_back(entry);
            }
        }
        entries.swap(kept);
    };
    for (const auto& name : options.unsetEnv) {
        remove(name);
    }
    for (const auto& [name, value] : options.setEnv) {
        remove(name);
        entries.push_back(name + L"=" + value);
    }
    std::wstring block;
    for (const auto& entry : entries) {
        block += entry;
        block.push_back(L'\0');
    }
    block.push_back(L'\0');
    return block;
}

struct DialogSearch {
    DWORD processId;
    std::vector<HWND> found;
};

BOOL CALLBACK collectDialog(HWND window, LPARAM context) {
    auto* search = reinterpret_cast<DialogSearch*>(context);
    DWORD owner = 0;
    GetWindowThreadProcessId(window, &owner);
    wchar_t className[64] = {};
    GetClassNameW(window, className, 64);
    if (owner == search->processId && std::wstring(className) == L"#32770" && IsWindowVisible(window)) {
        search->found.push_back(window);
    }
    return TRUE;
}

std::wstring windowText(HWND window) {
    const int length = GetWindowTextLengthW(window);
    std::wstring text(static_cast<size_t>(length) + 1, L'\0');
    text.resize(static_cast<size_t>(GetWindowTextW(window, text.data(), length + 1)));
    return text;
}

// The processes of the run: the child and everything it started.
std::vector<DWORD> jobProcessIds(HANDLE job, DWORD childId) {
    struct {
        JOBOBJECT_BASIC_PROCESS_ID_LIST header;
        ULONG_PTR more[255];
    } list{};
    list.header.NumberOfAssignedProcesses = 256;
    std::vector<DWORD> ids{childId};
    if (QueryInformationJobObject(job, JobObjectBasicProcessIdList, &list, sizeof(list), nullptr)) {
        for (DWORD i = 0; i < list.header.NumberOfProcessIdsInList; ++i) {
            ids.push_back(static_cast<DWORD>(list.header.ProcessIdList[i]));
        }
    }
    return ids;
}

void answerDialogs(const std::vector<DWORD>& processIds, std::vector<HWND>* answered, std::vector<Dialog>* dialogs) {
    for (DWORD processId : processIds) {
        DialogSearch search{processId, {}};
        EnumWindows(collectDialog, reinterpret_cast<LPARAM>(&search));
        for (HWND window : search.found) {
            if (std::find(answered->begin(), answered->end(), window) != answered->end()) {
                continue;
            }
            answered->push_back(window);
            Dialog dialog{windowText(window), L""};
            if (HWND text = GetDlgItem(window, 0xFFFF)) {
                dialog.text = windowText(text);
            }
            dialogs->push_back(dialog);
            PostMessageW(window, WM_COMMAND, IDOK, 0);
        }
    }
}

} // namespace

std::wstring quoteArgument(const std::wstring& arg) {
    if (!arg.empty() && arg.find_first_of(L" \t\"") == std::wstring::npos) {
        return arg;
    }
    std::wstring quoted = L"\"";
    size_t backslashes = 0;
    for (wchar_t c : arg) {
        if (c == L'\\') {
            ++backslashes;
            continue;
        }
        quoted.append(c == L'"' ? backslashes * 2 + 1 : backslashes, L'\\');
        quoted.push_back(c);
        backslashes = 0;
    }
    quoted.append(backslashes * 2, L'\\');
    quoted.push_back(L'"');
    return quoted;
}

namespace {

std::wstring commandLineOf(const std::wstring& program, const std::vector<std::wstring>& args) {
    std::wstring line = quoteArgument(program);
    for (const auto& arg : args) {
        line += L" " + quoteArgument(arg);
    }
    return line;
}

} // namespace

// The run of one child: its pipes, the job that holds it and everything it starts, and the output readers.
struct StartedProgram::State {
    RunOptions options;
    Handle outRead, errRead;
    Handle job;
    Handle process, thread;
    DWORD processId = 0;
    RunResult result;
    std::thread outReader, errReader;
    bool finished = false;

    ~State() {
        if (job.h) {
            TerminateJobObject(job.h, 0xDEAD);
        }
        if (outReader.joinable()) {
            outReader.join();
        }
        if (errReader.joinable()) {
            errReader.join();
        }
    }
};

StartedProgram::StartedProgram(const std::wstring& program, const std::wstring& commandLine,
                               const RunOptions& options, WholeLine)
    : state_(std::make_unique<State>()) {
    State& state = *state_;
    state.options = options;
    SECURITY_ATTRIBUTES inherit{sizeof(inherit), nullptr, TRUE};
    HANDLE outWrite = nullptr, errWrite = nullptr;
    if (!CreatePipe(&state.outRead.h, &outWrite, &inherit, 0)) {
        fail("CreatePipe");
    }
    Handle outWriteOwner(outWrite);
    if (!CreatePipe(&state.errRead.h, &errWrite, &inherit, 0)) {
        fail("CreatePipe");
    }
    Handle errWriteOwner(errWrite);
    SetHandleInformation(state.outRead.h, HANDLE_FLAG_INHERIT, 0);
    SetHandleInformation(state.errRead.h, HANDLE_FLAG_INHERIT, 0);
    Handle nul(CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit, OPEN_EXISTING, 0,
                           nullptr));

    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = nul.h;
    startup.hStdOutput = outWrite;
    startup.hStdError = errWrite;
    std::wstring desktop = options.desktop;
    if (!desktop.empty()) {
        startup.lpDesktop = desktop.data();
    }
    PROCESS_INFORMATION process{};
    std::wstring line = commandLine;
    std::wstring environment = environmentBlock(options);
    // The child runs in a job, so dialogs of its own children are seen too and nothing outlives the run.
    state.job.h = CreateJobObjectW(nullptr, nullptr);
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    SetInformationJobObject(state.job.h, JobObjectExtendedLimitInformation, &limits, sizeof(limits));
    // Wine answers ERROR_INTERNAL_ERROR when the new process died while Wine itself set it up, before any of
    // the program's code ran; the host failed, not the program, so that start is tried again.
    std::string startupOutput;
    for (int attempt = 1;; ++attempt) {
        if (CreateProcessW(program.c_str(), line.empty() ? nullptr : line.data(), nullptr, nullptr, TRUE,
                           CREATE_UNICODE_ENVIRONMENT | CREATE_SUSPENDED | options.creationFlags, environment.data(),
                           options.currentDirectory.empty() ? nullptr : options.currentDirectory.c_str(), &startup,
                           &process)) {
            break;
        }
        const DWORD error = GetLastError();
        startupOutput += availableOutput(state.errRead.h);
        const std::string failure = "CreateProcessW(" + utf8(program) + ") failed, error " + std::to_string(error) +
                                    (startupOutput.empty() ? "" : "; the new process wrote: " + startupOutput);
        if (error != ERROR_INTERNAL_ERROR || attempt == 3) {
            throw std::runtime_error(failure);
        }
        std::fprintf(stderr, "%s; starting it again\n", failure.c_str());
    }
    state.process.h = process.hProcess;
    state.thread.h = process.hThread;
    state.processId = process.dwProcessId;
    AssignProcessToJobObject(state.job.h, process.hProcess);
    state.outReader = std::thread(readAll, state.outRead.h, &state.result.out);
    state.errReader = std::thread(readAll, state.errRead.h, &state.result.err);
}

StartedProgram::StartedProgram(const std::wstring& program, const std::vector<std::wstring>& args,
                               const RunOptions& options)
    : StartedProgram(program, commandLineOf(program, args), options, WholeLine{}) {}

StartedProgram::~StartedProgram() = default;

void StartedProgram::resume() { ResumeThread(state_->thread.h); }

HANDLE StartedProgram::process() const { return state_->process.h; }

DWORD StartedProgram::processId() const { return state_->processId; }

RunResult StartedProgram::finish() {
    State& state = *state_;
    std::vector<HWND> answered;
    const ULONGLONG deadline = GetTickCount64() + state.options.timeoutMs;
    while (WaitForSingleObject(state.process.h, 50) == WAIT_TIMEOUT) {
        const std::vector<DWORD> watched = state.options.answerDescendantDialogs
                                               ? jobProcessIds(state.job.h, state.processId)
                                               : std::vector<DWORD>{state.processId};
        answerDialogs(watched, &answered, &state.result.dialogs);
        if (GetTickCount64() > deadline) {
            state.result.timedOut = true;
            TerminateProcess(state.process.h, 0xDEAD);
            WaitForSingleObject(state.process.h, INFINITE);
        }
    }
    // Whatever the child left running would keep the output pipes open.
    TerminateJobObject(state.job.h, 0xDEAD);
    state.outReader.join();
    state.errReader.join();
    DWORD code = 0;
    GetExitCodeProcess(state.process.h, &code);
    state.result.exitCode = code;
    return state.result;
}

RunResult run(const std::wstring& program, const std::vector<std::wstring>& args, const RunOptions& options) {
    return runCommandLine(program, commandLineOf(program, args), options);
}

RunResult runCommandLine(const std::wstring& program, const std::wstring& commandLine, const RunOptions& options) {
    StartedProgram started(program, commandLine, options, StartedProgram::WholeLine{});
    started.resume();
    return started.finish();
}

std::wstring binDir() {
    std::wstring path(32768, L'\0');
    path.resize(GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size())));
    return path.substr(0, path.find_last_of(L"\\/"));
}

std::wstring binPath(const std::wstring& fileName) { return binDir() + L"\\" + fileName; }

std::wstring tempPath() {
    wchar_t buffer[MAX_PATH + 1] = {};
    std::wstring path(buffer, GetTempPathW(MAX_PATH + 1, buffer));
    while (!path.empty() && (path.back() == L'\\' || path.back() == L'/')) {
        path.pop_back();
    }
    return path;
}

ScratchDir::ScratchDir() {
    static unsigned counter = 0;
    for (;;) {
        path_ = tempPath() + L"\\krtest-" + std::to_wstring(GetCurrentProcessId()) + L"-" + std::to_wstring(++counter);
        if (CreateDirectoryW(path_.c_str(), nullptr)) {
            return;
        }
        if (GetLastError() != ERROR_ALREADY_EXISTS) {
            fail("CreateDirectoryW");
        }
    }
}

ScratchDir::~ScratchDir() { removeTree(path_); }

EnvVariableScope::EnvVariableScope(const std::wstring& name) : name_(name) {
    const DWORD size = GetEnvironmentVariableW(name.c_str(), nullptr, 0);
    if (size > 0) {
        previous_.resize(size);
        previous_.resize(GetEnvironmentVariableW(name.c_str(), previous_.data(), size));
        wasSet_ = true;
    }
    SetEnvironmentVariableW(name.c_str(), nullptr);
}

EnvVariableScope::EnvVariableScope(const std::wstring& name, const std::wstring& value) : EnvVariableScope(name) {
    if (!SetEnvironmentVariableW(name.c_str(), value.c_str())) {
        fail("SetEnvironmentVariableW(" + utf8(name) + ")");
    }
}

EnvVariableScope::~EnvVariableScope() {
    const DWORD lastError = GetLastError();
    SetEnvironmentVariableW(name_.c_str(), wasSet_ ? previous_.c_str() : nullptr);
    SetLastError(lastError);
}

void writeFile(const std::wstring& path, const std::string& bytes) {
    Handle file(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (file.h == INVALID_HANDLE_VALUE) {
        fail("CreateFileW(" + utf8(path) + ")");
    }
    DWORD written = 0;
    if (!bytes.empty() && !WriteFile(file.h, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr)) {
        fail("WriteFile");
    }
}

std::map<std::string, std::string> readEchoReport(const std::wstring& path) {
    std::map<std::string, std::string> values;
    const std::string text = readFile(path);
    size_t start = 0;
    for (size_t end = text.find('\n'); end != std::string::npos; start = end + 1, end = text.find('\n', start)) {
        const std::string line = text.substr(start, end - start);
        const size_t equals = line.find('=');
        values[line.substr(0, equals)] = line.substr(equals + 1);
    }
    return values;
}

std::map<std::string, std::string> reportedProperties(const std::map<std::string, std::string>& echoReport) {
    std::map<std::string, std::string> properties;
    const auto commandLine = echoReport.find("cmdline");
    const std::string marker = "KR_PROPS|";
    const size_t at = commandLine == echoReport.end() ? std::string::npos : commandLine->second.find(marker);
    if (at == std::string::npos) {
        return properties;
    }
    const std::string pairs = commandLine->second.substr(at + marker.size());
    size_t start = 0;
    for (size_t end = pairs.find('|'); end != std::string::npos; start = end + 1, end = pairs.find('|', start)) {
        const std::string pair = pairs.substr(start, end - start);
        const size_t equals = pair.find('=');
        properties[pair.substr(0, equals)] = equals == std::string::npos ? std::string() : pair.substr(equals + 1);
    }
    return properties;
}

std::string readFile(const std::wstring& path) {
    Handle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                            nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (file.h == INVALID_HANDLE_VALUE) {
        fail("CreateFileW(" + utf8(path) + ")");
    }
    std::string bytes;
    readAll(file.h, &bytes);
    return bytes;
}

bool exists(const std::wstring& path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

std::vector<std::wstring> listDir(const std::wstring& dir, const std::wstring& pattern) {
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW data;
    HANDLE find = FindFirstFileW((dir + L"\\" + pattern).c_str(), &data);
    if (find == INVALID_HANDLE_VALUE) {
        return names;
    }
    do {
        const std::wstring name = data.cFileName;
        if (name != L"." && name != L"..") {
            names.push_back(name);
        }
    } while (FindNextFileW(find, &data));
    FindClose(find);
    return names;
}

void removeTree(const std::wstring& path) {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        return;
    }
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) && !(attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
        for (const auto& name : listDir(path)) {
            removeTree(path + L"\\" + name);
        }
        RemoveDirectoryW(path.c_str());
    } else if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
        RemoveDirectoryW(path.c_str());
    } else {
        SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
        DeleteFileW(path.c_str());
    }
}

DWORD errorOfOpening(const std::wstring& path, DWORD access) {
    const HANDLE handle = CreateFileW(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    const DWORD code = GetLastError();
    if (handle == INVALID_HANDLE_VALUE) {
        return code;
    }
    CloseHandle(handle);
    return ERROR_SUCCESS;
}

std::string utf8(const std::wstring& text) {
    if (text.empty()) {
        return std::string();
    }
    const int length = static_cast<int>(text.size());
    std::string out(static_cast<size_t>(WideCharToMultiByte(CP_UTF8, 0, text.data(), length, nullptr, 0, nullptr,
                                                            nullptr)),
                    '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), length, out.data(), static_cast<int>(out.size()), nullptr, nullptr);
    return out;
}

std::wstring wide(const std::string& text) {
    if (text.empty()) {
        return std::wstring();
    }
    const int length = static_cast<int>(text.size());
    std::wstring out(static_cast<size_t>(MultiByteToWideChar(CP_UTF8, 0, text.data(), length, nullptr, 0)), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), length, out.data(), static_cast<int>(out.size()));
    return out;
}

// Named by the process, so that test programs that run at the same time have one each.
HiddenDesktop::HiddenDesktop()
    : stationName_(L"KrHiddenStation" + std::to_wstring(GetCurrentProcessId())),
      station_(CreateWindowStationW(stationName_.c_str(), 0, WINSTA_ALL_ACCESS, nullptr)) {
    const HWINSTA own = GetProcessWindowStation();
    if (station_ && SetProcessWindowStation(station_)) {
        desktop_ = CreateDesktopW(L"Default", nullptr, nullptr, 0, GENERIC_ALL, nullptr);
        SetProcessWindowStation(own);
    }
}

HiddenDesktop::~HiddenDesktop() {
    if (desktop_) {
        CloseDesktop(desktop_);
    }
    if (station_) {
        CloseWindowStation(station_);
    }
}

std::wstring HiddenDesktop::name() const { return stationName_ + L"\\Default"; }

} // namespace krtest
