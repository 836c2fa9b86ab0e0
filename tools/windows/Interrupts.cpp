// A console control event that ends the packer removes the temporary file of its output first, then ends it as the
// system's own handler would.
#include "Platform.h"
#include "WideText.h"

#include <windows.h>

#include <string>

namespace pack::platform {

namespace {

// The handler runs on a thread of its own; the lock keeps the path and the file it names in step.
SRWLOCK pendingLock = SRWLOCK_INIT;
std::wstring pendingPath;

// Ctrl+C, Ctrl+Break, the console closing, logoff and shutdown alike. The lock stays held, so the packer cannot move
// the file into place after it is gone; the exit code is the one the system's handler gives for Ctrl+C.
BOOL WINAPI removePendingAndEnd(DWORD) {
    AcquireSRWLockExclusive(&pendingLock);
    if (!pendingPath.empty()) {
        DeleteFileW(pendingPath.c_str());
    }
    ExitProcess(STATUS_CONTROL_C_EXIT);
}

} // namespace

namespace output {

void removeOnInterrupt(const std::string& path) { pendingPath = widen(path); }

void holdInterrupts() { AcquireSRWLockExclusive(&pendingLock); }

void releaseInterrupts() { ReleaseSRWLockExclusive(&pendingLock); }

} // namespace output

void removeOutputsOnInterrupt() { SetConsoleCtrlHandler(removePendingAndEnd, TRUE); }

} // namespace pack::platform
