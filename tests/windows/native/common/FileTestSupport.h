// Helpers of the file-service tests: records and raised errors, files held open, new directories, Wine's path
// mapping, waiting for an effect.
#pragma once

#include "Raised.h"
#include "RecordingAppender.h"
#include "krtest.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <string>

namespace filetest {

using RecordCapture = krtest::RecordingAppender;
using krtest::Raised;
using krtest::raisedBy;

inline bool startsWith(const std::string& text, const std::string& prefix) { return text.rfind(prefix, 0) == 0; }

inline std::string u8(const std::wstring& text) { return krtest::utf8(text); }

// A file opened without delete sharing until destruction.
class HeldFile {
public:
    explicit HeldFile(const std::wstring& path)
        : handle_(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr)) {
        EXPECT_NE(handle_, INVALID_HANDLE_VALUE) << u8(path);
    }
    ~HeldFile() {
        if (handle_ != INVALID_HANDLE_VALUE) {
            CloseHandle(handle_);
        }
    }
    HeldFile(const HeldFile&) = delete;
    HeldFile& operator=(const HeldFile&) = delete;

private:
    HANDLE handle_;
};

inline void makeDir(const std::wstring& path) { ASSERT_TRUE(CreateDirectoryW(path.c_str(), nullptr)) << u8(path); }

// Wine's exports for its own path mapping; absent on Windows.
using WineUnixName = char*(CDECL*)(const wchar_t*);
using WineDosName = wchar_t*(CDECL*)(const char*);

template <class Function>
Function wineExport(const char* name) {
    return reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), name)));
}

// Whether `condition` comes true within ten seconds.
template <class Condition>
bool eventually(Condition condition) {
    for (const ULONGLONG deadline = GetTickCount64() + 10000; GetTickCount64() < deadline; Sleep(20)) {
        if (condition()) {
            return true;
        }
    }
    return condition();
}

} // namespace filetest
