// Launch frame: installs the debug-dependent appender, runs the main routine and reports what escapes it.
#include "app.h"

#include "WinErrorHandling.h"
#include "WinSysInfo.h"

#include <cstdio>
#include <memory>
#include <stdexcept>

namespace {

// Points at the message buffer of app::launch while it handles a failure, null otherwise.
const std::string* lastErrorMessage = nullptr;

alignas(StandardLogAppender) unsigned char standardAppenderStorage[sizeof(StandardLogAppender)];
alignas(NopLogAppender) unsigned char nopAppenderStorage[sizeof(NopLogAppender)];

// The appenders live in static storage for the whole run; each selection rebuilds the chosen one in place.
LogAppender* debugDependentAppender() {
    if (isDebugLoggingEnabled()) {
        return new (standardAppenderStorage) StandardLogAppender();
    }
    return new (nopAppenderStorage) NopLogAppender();
}

// Adds `extra` to the Logger when the scope ends, normally or while an error unwinds through it, so the
// report of that error reaches `extra` as well. The slot owns the addition.
class SetLoggerAtEndOfScope {
public:
    SetLoggerAtEndOfScope(std::unique_ptr<WithExtraLogAppender>& slot, LogAppender* extra)
        : slot_(slot), extra_(extra) {}
    SetLoggerAtEndOfScope(const SetLoggerAtEndOfScope&) = delete;
    SetLoggerAtEndOfScope& operator=(const SetLoggerAtEndOfScope&) = delete;

    ~SetLoggerAtEndOfScope() {
        const LastErrorPreserver preserver;
        runGuarded(KR_HERE, [this] {
            auto installed = std::make_unique<WithExtraLogAppender>(extra_);
            slot_.swap(installed);
        });
    }

private:
    std::unique_ptr<WithExtraLogAppender>& slot_;
    LogAppender* extra_;
};

// Clears the last error pointer before the buffer it points to goes away.
class ResetLastErrorMsgAtEndOfScope {
public:
    ResetLastErrorMsgAtEndOfScope() = default;
    ResetLastErrorMsgAtEndOfScope(const ResetLastErrorMsgAtEndOfScope&) = delete;
    ResetLastErrorMsgAtEndOfScope& operator=(const ResetLastErrorMsgAtEndOfScope&) = delete;
    ~ResetLastErrorMsgAtEndOfScope() { lastErrorMessage = nullptr; }
};

} // namespace

namespace app {

int launch(const std::nothrow_t&, const MainRoutine& mainRoutine, LogAppender* lastErrorAppender) noexcept {
    Logger& logger = Logger::global();
    logger.setAppender(debugDependentAppender());
    const ScopeTracer tracer(&logger, LogLevel::Trace, KR_WIDEN(__FILE__), __LINE__,
                             wideFunctionLabel(__PRETTY_FUNCTION__), L"app::launch");
    if (!lastErrorAppender) {
        lastErrorAppender = &defaultLastErrorAppender();
    }
    std::unique_ptr<WithExtraLogAppender> extraAppender;
    std::string message;
    const ResetLastErrorMsgAtEndOfScope resetLastErrorMsg;

    // Each handler rethrows into runGuarded, which writes the one report record: logCaughtError for a
    // std::runtime_error, logUnknownError for anything else.
    try {
        const SetLoggerAtEndOfScope setLogger(extraAppender, lastErrorAppender);
        mainRoutine();
        return 0;
    } catch (const KrErrorBase& error) {
        message = (MessageBuilder() << error.bareMessage()).utf8();
        lastErrorMessage = &message;
        runGuarded(KR_HERE, [] { throw; });
    } catch (const std::runtime_error&) {
        // Not one of ours but the C++ library's: the errno text of the moment describes it better than its what().
        message = lastRuntimeErrorText();
        lastErrorMessage = &message;
        runGuarded(KR_HERE, [] { throw; });
    } catch (...) {
        message = "Unknown error";
        lastErrorMessage = &message;
        runGuarded(KR_HERE, [] { throw; });
    }
    return 1;
}

std::string lastErrorMsg() { return lastErrorMessage ? *lastErrorMessage : std::string(); }

LogAppender& defaultLastErrorAppender() {
    static LastErrorLogAppender appender;
    return appender;
}

} // namespace app

bool isDebugLoggingEnabled() { return SysInfo::getEnvVariable(L"KESTREL_DEBUG", tstring()) == L"true"; }

void LastErrorLogAppender::append(const LogEvent&) { writeLine(stderr, app::lastErrorMsg()); }

void StandardLogAppender::append(const LogEvent& event) {
    writeLine(stderr, "[" + tstrings::encodeUtf8(event.levelName) + "] " + tstrings::encodeUtf8(event.fileName) + ":" +
                          std::to_string(event.line) + ": " + tstrings::encodeUtf8(event.message));
}
