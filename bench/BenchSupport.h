// Shared parts of the benchmark programs: the clock, child processes, files and the sample lines they print.
#pragma once

#include "Executor.h"
#include "tstrings.h"

#include <windows.h>

#include <cstdint>
#include <functional>
#include <string>

namespace bench {

// Elapsed wall time from the performance counter.
class Stopwatch {
public:
    Stopwatch();
    double elapsedMs() const;

private:
    LARGE_INTEGER start_;
};

// One measured value on standard output as "sample <name> <value>", for bench/report.py.
void printSample(const std::string& name, double value);

// Runs `program` with `args` hidden, as the launcher starts the installer, and returns its exit code.
uint32_t runProgram(const tstring& program, const tstring_array& args);

// Like runProgram, and raises unless the exit code is `expected`.
void runExpecting(uint32_t expected, const tstring& program, const tstring_array& args);

// A child process started suspended, with its main thread; ends the process on destruction unless it has
// been waited for to its end.
class SuspendedProcess {
public:
    SuspendedProcess(const tstring& program, const tstring_array& args);
    ~SuspendedProcess();
    SuspendedProcess(const SuspendedProcess&) = delete;
    SuspendedProcess& operator=(const SuspendedProcess&) = delete;

    HANDLE handle() const { return process_.get(); }
    DWORD id() const { return id_; }
    void resume();
    // True once the process has ended within `timeoutMs`; its exit code is then in `exitCode`.
    bool waitForExit(DWORD timeoutMs, uint32_t& exitCode);

private:
    OwnedHandle process_;
    OwnedHandle thread_;
    DWORD id_ = 0;
    bool ended_ = false;
};

// The first-found process of `parentId` running the program file `exeName` (case ignored), or 0.
DWORD findChildProcess(DWORD parentId, const tstring& exeName);

// Sends WM_CLOSE to each top-level dialog window of process `processId`; returns how many there were.
int closeDialogsOf(DWORD processId);

void copyFile(const tstring& source, const tstring& destination);
void deleteFileIfExists(const tstring& path);
uint64_t fileSize(const tstring& path);
// Raises unless the two files hold the same bytes.
void requireSameContent(const tstring& first, const tstring& second);

// A fresh directory under the temporary path, removed with its files on destruction.
class WorkDir {
public:
    explicit WorkDir(const tstring& name);
    ~WorkDir();
    WorkDir(const WorkDir&) = delete;
    WorkDir& operator=(const WorkDir&) = delete;

    tstring file(const tstring& name) const;

private:
    tstring path_;
};

// "<value>" of decimal text, raising on anything else.
unsigned parseCount(const tstring& text);

// Runs the program's work: a failure goes to standard error and gives exit code 1, wrong usage code 2.
int guardedMain(int argc, wchar_t** argv, int minArgs, const char* usage,
                const std::function<void(const tstring_array&)>& work);

} // namespace bench
