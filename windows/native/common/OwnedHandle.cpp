// OwnedHandle: closing the owned handle.
#include "OwnedHandle.h"

#include "WinErrorHandling.h"

OwnedHandle::~OwnedHandle() { reset(); }

OwnedHandle::OwnedHandle(OwnedHandle&& other) noexcept : handle_(other.handle_) { other.handle_ = nullptr; }

OwnedHandle& OwnedHandle::operator=(OwnedHandle&& other) noexcept {
    if (this != &other) {
        reset(other.handle_);
        other.handle_ = nullptr;
    }
    return *this;
}

void OwnedHandle::reset(HANDLE handle) noexcept {
    if (handle_ && handle_ != handle) {
        const LastErrorPreserver lastError;
        CloseHandle(handle_);
    }
    handle_ = handle;
}
