// Texts of failed Windows calls and of the runtime library's errno.
#include "WinErrorHandling.h"

#include "Log.h"

#include <cwchar>

std::string makeMessage(const std::string& message, const char* label, const void* failedFunction, uint32_t code) {
    std::string text = std::string(label ? label : "Some error") + " [" + std::to_string(code) + "]";

    HMODULE module = nullptr;
    bool describe = true;
    if (failedFunction) {
        if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                                static_cast<LPCWSTR>(failedFunction), &module)) {
            module = nullptr;
            describe = false;
            KR_WARNING("GetModuleHandleEx() failed for " << failedFunction << " address.");
        }
    }
    if (describe) {
        text += "(" + tstrings::encodeUtf8(formatSystemError(code, module)) + ")";
    }
    return joinMessages(message, text);
}

KrError<SysError> makeError(const SysError& error, const SourceLocation& location) {
    return KrError<SysError>(error, location);
}

tstring formatSystemError(uint32_t code, HMODULE module) {
    return (MessageBuilder() << "system error " << code << " (" << getSystemErrorText(code, module) << ")").str();
}

tstring getSystemErrorText(uint32_t code, HMODULE module) {
    const DWORD baseFlags = FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_FROM_SYSTEM;
    wchar_t* buffer = nullptr;
    DWORD length = FormatMessageW(baseFlags | (module ? FORMAT_MESSAGE_FROM_HMODULE : 0), module, code, 0,
                                  reinterpret_cast<LPWSTR>(&buffer), 0, nullptr);
    if (length == 0 && module) {
        length = FormatMessageW(baseFlags, nullptr, code, 0, reinterpret_cast<LPWSTR>(&buffer), 0, nullptr);
    }
    if (length == 0 || !buffer) {
        return L"No description available";
    }
    tstring text(buffer, length);
    LocalFree(buffer);

    for (wchar_t& c : text) {
        if (c < L' ') {
            c = L' ';
        }
    }
    while (text.size() > 1 && (text.back() <= L' ' || text.back() == L'.')) {
        text.pop_back();
    }
    return text;
}

std::string lastRuntimeErrorText() {
    const int error = errno;
    wchar_t buffer[2048] = {};
    if (_wcserror_s(buffer, sizeof(buffer) / sizeof(buffer[0]), error) != 0) {
        return std::string();
    }
    return tstrings::encodeUtf8(buffer);
}
