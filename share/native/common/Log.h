// Logging: the process-wide Logger, its records, the general appenders and scope tracing.
#pragma once

#include "ErrorHandling.h"
#include "tstrings.h"

#include <windows.h>

#include <cstdint>
#include <cstdio>

enum class LogLevel : int32_t { Trace = 0, Info = 1, Warning = 2, Error = 3 };

// The name written into a record: "TRACE", "INFO", "WARNING", "ERROR", or "UNKNOWN".
const wchar_t* logLevelName(LogLevel level);

// One record; valid only during the call to LogAppender::append.
struct LogEvent {
    SYSTEMTIME timestamp;
    DWORD threadId;
    DWORD processId;
    const wchar_t* moduleName;
    tstring levelName;
    tstring fileName;
    int32_t line;
    tstring functionName;
    tstring message;
};

class LogAppender {
public:
    virtual ~LogAppender() = default;
    virtual void append(const LogEvent& event) = 0;
};

class Logger {
public:
    // The process-wide logger; installs the standard-output appender when none is installed.
    static Logger& global();

    bool isEnabled(LogLevel level) const { return level >= minLevel_; }

    void log(LogLevel level, const wchar_t* file, int32_t line, const wchar_t* function, const tstring& message);
    void log(LogLevel level, const wchar_t* file, int32_t line, const wchar_t* function,
             const MessageBuilder& message) {
        log(level, file, line, function, message.str());
    }

    LogAppender* setAppender(LogAppender* appender);
    LogAppender* getAppender() const { return appender_; }

private:
    constexpr Logger() = default;
    static Logger instance_;

    LogLevel minLevel_ = LogLevel::Trace;
    LogAppender* appender_ = nullptr;
};

// Writes `text`, a line end and flushes: how every appender on a stdio stream ends a record.
void writeLine(std::FILE* stream, const std::string& text);

// The full two-line record, as UTF-8, on a stdio stream.
class StreamLogAppender : public LogAppender {
public:
    explicit StreamLogAppender(std::FILE* stream) : stream_(stream) {}
    void append(const LogEvent& event) override;

private:
    std::FILE* stream_;
};

class NopLogAppender : public LogAppender {
public:
    void append(const LogEvent&) override {}
};

// Feeds every record to two appenders in turn; an empty one is skipped.
class TeeLogAppender : public LogAppender {
public:
    TeeLogAppender(LogAppender* first, LogAppender* second) : first_(first), second_(second) {}
    void append(const LogEvent& event) override;

private:
    LogAppender* first_;
    LogAppender* second_;
};

// While it lives, records reach both the appender installed before it and `extra`.
class WithExtraLogAppender {
public:
    explicit WithExtraLogAppender(LogAppender* extra);
    virtual ~WithExtraLogAppender();
    WithExtraLogAppender(const WithExtraLogAppender&) = delete;
    WithExtraLogAppender& operator=(const WithExtraLogAppender&) = delete;

private:
    LogAppender* saved_;
    TeeLogAppender tee_;
};

// Writes "Entering <scope>" now and "Exiting <scope> (entered at <file>:<line>)" when destroyed.
class ScopeTracer {
public:
    ScopeTracer(Logger* logger, LogLevel level, const tstring& file, int32_t line, const tstring& function,
                const tstring& scopeName);
    ~ScopeTracer();
    ScopeTracer(const ScopeTracer&) = delete;
    ScopeTracer& operator=(const ScopeTracer&) = delete;

private:
    Logger* logger_;
    LogLevel level_;
    tstring file_;
    int32_t line_;
    tstring function_;
    tstring scopeName_;
    bool enabled_;
};

#define KR_WIDEN_IMPL(text) L##text
#define KR_WIDEN(text) KR_WIDEN_IMPL(text)

// Record sites: the message is composed only when the level is enabled.
#define KR_LOG(level, message)                                                                              \
    do {                                                                                                    \
        Logger& krLogger = Logger::global();                                                                \
        if (krLogger.isEnabled(level)) {                                                                    \
            krLogger.log((level), KR_WIDEN(__FILE__), __LINE__, ::wideFunctionLabel(__PRETTY_FUNCTION__), \
                         MessageBuilder() << message);                                                      \
        }                                                                                                   \
    } while (false)

#define KR_TRACE(message) KR_LOG(LogLevel::Trace, message)
#define KR_INFO(message) KR_LOG(LogLevel::Info, message)
#define KR_WARNING(message) KR_LOG(LogLevel::Warning, message)
#define KR_ERROR(message) KR_LOG(LogLevel::Error, message)
