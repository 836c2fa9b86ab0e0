// A console control event that ends the packer removes the temporary file of its output first.
#include "WideText.h"
#include "io/Platform.h"

#include <windows.h>

#include <cstring>
#include <iterator>
#include <string>

namespace pack::platform {

namespace {

// The handler runs on a thread of its own; the lock keeps the path and the file it names in step. The path is
// plain storage, so that nothing the handler reads is ever destroyed; empty: none. The system refuses longer paths.
SRWLOCK pendingLock = SRWLOCK_INIT;
wchar_t pendingPath[32768];
// Holds by the packer's own thread, which alone takes the lock outside the handler.
unsigned heldDepth = 0;

// Ctrl+C, Ctrl+Break, the console closing and shutdown. The lock stays held, so the packer cannot move the file
// into place after it is gone; the exit code is the one the system's handler gives for Ctrl+C. Only services'
// processes receive logoff, and any user's logoff sends it: the system's handler ignores it, and so does this.
BOOL WINAPI removePendingAndEnd(DWORD event) {
    if (event == CTRL_LOGOFF_EVENT) {
        return FALSE;
    }
    AcquireSRWLockExclusive(&pendingLock);
    if (pendingPath[0] != L'\0') {
        DeleteFileW(pendingPath);
    }
    ExitProcess(STATUS_CONTROL_C_EXIT);
}

} // namespace

namespace output {

void removeOnInterrupt(const std::string& path) {
    const std::wstring wide = widen(path);
    const size_t length = wide.size() < std::size(pendingPath) ? wide.size() : 0;
    std::memcpy(pendingPath, wide.c_str(), length * sizeof(wchar_t));
    pendingPath[length] = L'\0';
}

void holdInterrupts() {
    if (heldDepth++ == 0) {
        AcquireSRWLockExclusive(&pendingLock);
    }
}

void releaseInterrupts() {
    if (--heldDepth == 0) {
        ReleaseSRWLockExclusive(&pendingLock);
    }
}

} // namespace output

void removeOutputsOnInterrupt() { SetConsoleCtrlHandler(removePendingAndEnd, TRUE); }

} // namespace pack::platform
