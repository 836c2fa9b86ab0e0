// Errors of failed Windows calls: SysError, its message text and the system's descriptions of error codes.
#pragma once

#include "ErrorHandling.h"
#include "tstrings.h"

#include <windows.h>

#include <cstdint>
#include <stdexcept>
#include <string>

// The text of a failed Windows call: "<message>. <label> [<code>](system error <code> (<description>))".
std::string makeMessage(const std::string& message, const char* label, const void* failedFunction, uint32_t code);

class SysError : public std::runtime_error {
public:
    SysError(const MessageBuilder& message, const void* failedFunction, uint32_t code, const char* label = nullptr)
        : std::runtime_error(makeMessage(message.utf8(), label, failedFunction, code)) {}

    // `failedFunction` is the imported Windows function itself, such as CreateDirectoryW.
    template <class Result, class... Args>
    SysError(const MessageBuilder& message, Result(WINAPI* failedFunction)(Args...), uint32_t code,
             const char* label = nullptr)
        : SysError(message, reinterpret_cast<const void*>(failedFunction), code, label) {}
};

KrError<SysError> makeError(const SysError& error, const SourceLocation& location);

// "system error <code> (<description>)"
tstring formatSystemError(uint32_t code, HMODULE module);

// The system's description of `code`, one line without final period, or "No description available".
tstring getSystemErrorText(uint32_t code, HMODULE module);

// The runtime library's text for the current errno, as UTF-8; empty when it cannot be had.
std::string lastRuntimeErrorText();

// Keeps the thread's last-error code across clean-up code such as a destructor.
class LastErrorPreserver {
public:
    LastErrorPreserver() : code_(GetLastError()) {}
    ~LastErrorPreserver() { SetLastError(code_); }
    LastErrorPreserver(const LastErrorPreserver&) = delete;
    LastErrorPreserver& operator=(const LastErrorPreserver&) = delete;

private:
    DWORD code_;
};
