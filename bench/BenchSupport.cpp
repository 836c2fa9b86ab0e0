// Shared parts of the benchmark programs: the clock, child processes, files and the sample lines they print.
#include "BenchSupport.h"

#include "FileUtils.h"
#include "Log.h"
#include "WinErrorHandling.h"
#include "WinSysInfo.h"

#include <tlhelp32.h>

#include <cstdio>
#include <cstring>
#include <cwchar>
#include <exception>
#include <string>
#include <vector>

namespace bench {

namespace {

LONGLONG counterFrequency() {
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    return frequency.QuadPart;
}

// An open file handle, closed on destruction.
class FileHandle {
public:
    explicit FileHandle(const tstring& path) {
        const HANDLE handle = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                          FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
        if (handle == INVALID_HANDLE_VALUE) {
            const DWORD code = GetLastError();
            KR_RAISE(SysError(MessageBuilder() << "cannot open " << path, CreateFileW, code, "System error"));
        }
        handle_.reset(handle);
    }

    HANDLE get() const { return handle_.get(); }

    // Fills `buffer` as far as the file allows; returns the byte count.
    size_t read(std::vector<char>& buffer) const {
        size_t filled = 0;
        while (filled < buffer.size()) {
            DWORD got = 0;
            if (!ReadFile(handle_.get(), buffer.data() + filled, static_cast<DWORD>(buffer.size() - filled), &got,
                          nullptr)) {
                const DWORD code = GetLastError();
                KR_RAISE(SysError(MessageBuilder("ReadFile() failed"), ReadFile, code, "System error"));
            }
            if (got == 0) {
                break;
            }
            filled += got;
        }
        return filled;
    }

private:
    OwnedHandle handle_;
};

// A snapshot of the system's processes, closed on destruction.
class ProcessSnapshot {
public:
    ProcessSnapshot() {
        const HANDLE handle = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
        if (handle == INVALID_HANDLE_VALUE) {
            const DWORD code = GetLastError();
            KR_RAISE(SysError(MessageBuilder("CreateToolhelp32Snapshot() failed"), CreateToolhelp32Snapshot, code,
                              "System error"));
        }
        handle_.reset(handle);
    }

    HANDLE get() const { return handle_.get(); }

private:
    OwnedHandle handle_;
};

struct DialogSearch {
    DWORD processId;
    int found;
};

BOOL CALLBACK closeIfDialogOf(HWND window, LPARAM param) {
    auto* search = reinterpret_cast<DialogSearch*>(param);
    DWORD owner = 0;
    GetWindowThreadProcessId(window, &owner);
    wchar_t className[16] = {};
    if (owner == search->processId && GetClassNameW(window, className, 16) && std::wcscmp(className, L"#32770") == 0) {
        PostMessageW(window, WM_CLOSE, 0, 0);
        ++search->found;
    }
    return TRUE;
}

} // namespace

Stopwatch::Stopwatch() { QueryPerformanceCounter(&start_); }

double Stopwatch::elapsedMs() const {
    static const LONGLONG frequency = counterFrequency();
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return static_cast<double>(now.QuadPart - start_.QuadPart) * 1000.0 / static_cast<double>(frequency);
}

void printSample(const std::string& name, double value) {
    std::printf("sample %s %.3f\n", name.c_str(), value);
    std::fflush(stdout);
}

uint32_t runProgram(const tstring& program, const tstring_array& args) {
    Executor executor(program);
    for (const tstring& arg : args) {
        executor.addArg(arg);
    }
    return static_cast<uint32_t>(executor.execAndWaitForExit());
}

void runExpecting(uint32_t expected, const tstring& program, const tstring_array& args) {
    const uint32_t code = runProgram(program, args);
    if (code != expected) {
        KR_RAISE(MessageBuilder() << program << " " << tstrings::joinRange(args.begin(), args.end(), L" ")
                                  << " exited with " << code << " instead of " << expected);
    }
}

SuspendedProcess::SuspendedProcess(const tstring& program, const tstring_array& args) {
    Executor line(program);
    for (const tstring& arg : args) {
        line.addArg(arg);
    }
    const tstring commandLine = line.buildCommandLine();
    std::vector<wchar_t> commandBuffer(commandLine.begin(), commandLine.end());
    commandBuffer.push_back(L'\0');

    // Hidden and without a console window, as the launcher itself starts the installer.
    STARTUPINFOW startupInfo{};
    startupInfo.cb = sizeof(startupInfo);
    startupInfo.dwFlags = STARTF_USESHOWWINDOW;
    startupInfo.wShowWindow = SW_HIDE;
    PROCESS_INFORMATION processInfo{};
    if (!CreateProcessW(program.c_str(), commandBuffer.data(), nullptr, nullptr, FALSE,
                        CREATE_SUSPENDED | CREATE_NO_WINDOW, nullptr, nullptr, &startupInfo, &processInfo)) {
        const DWORD code = GetLastError();
        KR_RAISE(SysError(MessageBuilder() << "cannot start " << commandLine, CreateProcessW, code, "System error"));
    }
    process_.reset(processInfo.hProcess);
    thread_.reset(processInfo.hThread);
    id_ = processInfo.dwProcessId;
}

SuspendedProcess::~SuspendedProcess() {
    if (!ended_) {
        TerminateProcess(process_.get(), ERROR_PROCESS_ABORTED);
        WaitForSingleObject(process_.get(), 10000);
    }
}

void SuspendedProcess::resume() {
    if (ResumeThread(thread_.get()) == static_cast<DWORD>(-1)) {
        const DWORD code = GetLastError();
        KR_RAISE(SysError(MessageBuilder("ResumeThread() failed"), ResumeThread, code, "System error"));
    }
}

bool SuspendedProcess::waitForExit(DWORD timeoutMs, uint32_t& exitCode) {
    const DWORD waited = WaitForSingleObject(process_.get(), timeoutMs);
    if (waited == WAIT_TIMEOUT) {
        return false;
    }
    if (waited != WAIT_OBJECT_0) {
        const DWORD code = GetLastError();
        KR_RAISE(SysError(MessageBuilder("WaitForSingleObject() failed"), WaitForSingleObject, code, "System error"));
    }
    DWORD status = 0;
    if (!GetExitCodeProcess(process_.get(), &status)) {
        const DWORD code = GetLastError();
        KR_RAISE(SysError(MessageBuilder("GetExitCodeProcess() failed"), GetExitCodeProcess, code, "System error"));
    }
    exitCode = status;
    ended_ = true;
    return true;
}

DWORD findChildProcess(DWORD parentId, const tstring& exeName) {
    const ProcessSnapshot snapshot;
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof(entry);
    for (BOOL more = Process32FirstW(snapshot.get(), &entry); more; more = Process32NextW(snapshot.get(), &entry)) {
        if (entry.th32ParentProcessID == parentId && entry.th32ProcessID != parentId &&
            tstrings::equalText(entry.szExeFile, exeName, tstrings::CaseMode::IgnoreCase)) {
            return entry.th32ProcessID;
        }
    }
    return 0;
}

int closeDialogsOf(DWORD processId) {
    DialogSearch search{processId, 0};
    EnumWindows(closeIfDialogOf, reinterpret_cast<LPARAM>(&search));
    return search.found;
}

void copyFile(const tstring& source, const tstring& destination) {
    if (!CopyFileW(source.c_str(), destination.c_str(), FALSE)) {
        const DWORD code = GetLastError();
        KR_RAISE(SysError(MessageBuilder() << "cannot copy " << source << " to " << destination, CopyFileW, code,
                          "System error"));
    }
}

void deleteFileIfExists(const tstring& path) {
    if (!DeleteFileW(path.c_str())) {
        const DWORD code = GetLastError();
        if (code != ERROR_FILE_NOT_FOUND) {
            KR_RAISE(SysError(MessageBuilder() << "cannot delete " << path, DeleteFileW, code, "System error"));
        }
    }
}

uint64_t fileSize(const tstring& path) {
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) {
        const DWORD code = GetLastError();
        KR_RAISE(SysError(MessageBuilder() << "cannot read the attributes of " << path, GetFileAttributesExW, code,
                          "System error"));
    }
    return (uint64_t{data.nFileSizeHigh} << 32) | data.nFileSizeLow;
}

void requireSameContent(const tstring& first, const tstring& second) {
    const FileHandle a(first);
    const FileHandle b(second);
    std::vector<char> bufferA(size_t{1} << 20);
    std::vector<char> bufferB(bufferA.size());
    for (;;) {
        const size_t gotA = a.read(bufferA);
        const size_t gotB = b.read(bufferB);
        if (gotA != gotB || std::memcmp(bufferA.data(), bufferB.data(), gotA) != 0) {
            KR_RAISE(MessageBuilder() << first << " and " << second << " differ");
        }
        if (gotA < bufferA.size()) {
            return;
        }
    }
}

WorkDir::WorkDir(const tstring& name)
    : path_(FileUtils::createTempDirectory(name, L".tmp", SysInfo::getTempDir())) {}

WorkDir::~WorkDir() { FileUtils::deleteAll(path_, std::nothrow); }

tstring WorkDir::file(const tstring& name) const { return FileUtils::PathBuilder() << path_ << name; }

unsigned parseCount(const tstring& text) {
    if (text.empty() || text.size() > 6 || text.find_first_not_of(L"0123456789") != tstring::npos) {
        KR_RAISE(MessageBuilder() << "not a count: " << text);
    }
    return static_cast<unsigned>(std::stoul(text));
}

int guardedMain(int argc, wchar_t** argv, int minArgs, const char* usage,
                const std::function<void(const tstring_array&)>& work) {
    // The services' trace records would go to standard output among the samples.
    static NopLogAppender silence;
    Logger::global().setAppender(&silence);
    const tstring_array args(argv + 1, argv + argc);
    if (argc - 1 < minArgs) {
        std::fprintf(stderr, "usage: %s\n", usage);
        return 2;
    }
    try {
        work(args);
        return 0;
    } catch (const std::exception& error) {
        std::fprintf(stderr, "%s\n", error.what());
        return 1;
    }
}

} // namespace bench
