// Launch frame: logger set-up around the main routine and the capture of every error that escapes it.
#pragma once

#include "Log.h"

#include <functional>
#include <new>
#include <string>

namespace app {

// Takes no arguments and returns nothing; signals failure only by throwing.
using MainRoutine = std::function<void()>;

// Runs `mainRoutine` with the debug-dependent appender installed on the Logger; an escaping error becomes one
// ERROR record that also reaches `lastErrorAppender` (null: defaultLastErrorAppender()). 0 when the routine
// returned, 1 when it failed. Not re-entrant.
int launch(const std::nothrow_t&, const MainRoutine& mainRoutine, LogAppender* lastErrorAppender) noexcept;

// The message of the failure being handled by launch (UTF-8), or "" outside that moment.
std::string lastErrorMsg();

// The process-wide appender that writes the last error message to standard error.
LogAppender& defaultLastErrorAppender();

} // namespace app

// True exactly when KESTREL_DEBUG holds "true"; read afresh at each call.
bool isDebugLoggingEnabled();

// Ignores the record; writes app::lastErrorMsg() and a line end to standard error.
class LastErrorLogAppender : public LogAppender {
public:
    void append(const LogEvent& event) override;
};

// The debug-mode record on standard error: "[LEVEL] file:line: message".
class StandardLogAppender : public LogAppender {
public:
    void append(const LogEvent& event) override;
};
