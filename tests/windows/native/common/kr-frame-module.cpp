// kr-frame-module: a DLL that reports what SysInfo says about the module holding its code, wherever it is loaded.
#include "WinSysInfo.h"

#include <windows.h>

// The path of this DLL as getCurrentModulePath gives it, cut to `capacity` - 1 characters; its full length,
// or 0 when the call failed.
extern "C" __declspec(dllexport) size_t krFrameModulePath(wchar_t* buffer, size_t capacity) noexcept {
    try {
        const tstring path = SysInfo::getCurrentModulePath();
        const size_t copied = path.copy(buffer, capacity - 1);
        buffer[copied] = L'\0';
        return path.size();
    } catch (...) {
        return 0;
    }
}

extern "C" __declspec(dllexport) HMODULE krFrameModuleHandle() noexcept {
    try {
        return SysInfo::getCurrentModuleHandle();
    } catch (...) {
        return nullptr;
    }
}
