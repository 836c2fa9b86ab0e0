// The process-wide Logger, the record formats and the general appenders.
#include "Log.h"

#include "FileUtils.h"
#include "WinSysInfo.h"

#include <cstdio>
#include <new>

namespace {

constexpr size_t kModuleNameSize = 260;
wchar_t moduleNameBuffer[kModuleNameSize] = L"Unknown";

enum class ModuleNameState { NotStarted, Running, Done };
ModuleNameState moduleNameState = ModuleNameState::NotStarted;

void initModuleName() {
    moduleNameState = ModuleNameState::Running;
    tstring name;
    try {
        name = FileUtils::basename(SysInfo::getCurrentModulePath());
    } catch (const std::runtime_error&) {
        name = L"Unknown";
    }
    name.resize(kModuleNameSize - 1, L'\0');
    name.copy(moduleNameBuffer, kModuleNameSize - 1);
    moduleNameBuffer[kModuleNameSize - 1] = L'\0';
    moduleNameState = ModuleNameState::Done;
}

} // namespace

Logger Logger::instance_;

const wchar_t* logLevelName(LogLevel level) {
    switch (level) {
    case LogLevel::Trace:
        return L"TRACE";
    case LogLevel::Info:
        return L"INFO";
    case LogLevel::Warning:
        return L"WARNING";
    case LogLevel::Error:
        return L"ERROR";
    }
    return L"UNKNOWN";
}

Logger& Logger::global() {
    if (!instance_.appender_) {
        alignas(StreamLogAppender) static unsigned char storage[sizeof(StreamLogAppender)];
        instance_.appender_ = new (storage) StreamLogAppender(stdout);
    }
    switch (moduleNameState) {
    case ModuleNameState::NotStarted:
        initModuleName();
        break;
    case ModuleNameState::Running:
        moduleNameBuffer[0] = L'\0';
        break;
    case ModuleNameState::Done:
        break;
    }
    return instance_;
}

void Logger::log(LogLevel level, const wchar_t* file, int32_t line, const wchar_t* function, const tstring& message) {
    LogEvent event{};
    GetLocalTime(&event.timestamp);
    event.processId = GetCurrentProcessId();
    event.threadId = GetCurrentThreadId();
    event.moduleName = moduleNameBuffer;
    event.fileName = FileUtils::basename(file ? file : L"");
    event.functionName = function ? function : L"";
    event.levelName = logLevelName(level);
    event.line = line;
    event.message = message;
    if (appender_) {
        appender_->append(event);
    }
}

LogAppender* Logger::setAppender(LogAppender* appender) {
    LogAppender* previous = appender_;
    appender_ = appender;
    return previous;
}

void writeLine(std::FILE* stream, const std::string& text) {
    std::fwrite(text.data(), 1, text.size(), stream);
    std::fputc('\n', stream);
    std::fflush(stream);
}

void StreamLogAppender::append(const LogEvent& event) {
    const SYSTEMTIME& t = event.timestamp;
    const tstring prefix = tstrings::formatText(L"%04u/%02u/%02u %02u:%02u:%02u.%03u, %s (PID: %u, TID: %u), ",
                                                t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute, t.wSecond,
                                                t.wMilliseconds, event.moduleName, event.processId, event.threadId);
    const MessageBuilder record = MessageBuilder() << L"[" << prefix << event.fileName << L":" << event.line << L" ("
                                                   << event.functionName << L")]\n\t" << event.levelName << L": "
                                                   << event.message;
    writeLine(stream_, record.utf8());
}

void TeeLogAppender::append(const LogEvent& event) {
    if (first_) {
        first_->append(event);
    }
    if (second_) {
        second_->append(event);
    }
}

WithExtraLogAppender::WithExtraLogAppender(LogAppender* extra)
    : saved_(Logger::global().getAppender()), tee_(saved_, extra) {
    Logger::global().setAppender(&tee_);
}

WithExtraLogAppender::~WithExtraLogAppender() { Logger::global().setAppender(saved_); }

ScopeTracer::ScopeTracer(Logger* logger, LogLevel level, const tstring& file, int32_t line, const tstring& function,
                         const tstring& scopeName)
    : logger_(logger), level_(level), file_(file), line_(line), function_(function), scopeName_(scopeName),
      enabled_(logger->isEnabled(level)) {
    if (enabled_) {
        logger_->log(level_, file_.c_str(), line_, function_.c_str(), L"Entering " + scopeName_);
    }
}

ScopeTracer::~ScopeTracer() {
    if (enabled_) {
        runGuarded(KR_HERE, [this] {
            logger_->log(level_, file_.c_str(), 0, function_.c_str(),
                         MessageBuilder() << L"Exiting " << scopeName_ << L" (entered at "
                                          << FileUtils::basename(file_) << L":" << line_ << L")");
        });
    }
}
