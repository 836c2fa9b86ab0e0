// Tests of app::launch in-process: what each kind of escaping error becomes, which appender the Logger keeps,
// and the short records and last-error lines on standard error.
#include "app.h"

#include "RecordingAppender.h"
#include "WinErrorHandling.h"
#include "krtest.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <memory>
#include <new>
#include <regex>
#include <stdexcept>

namespace {

// Stands in for the frame's last-error appenders: keeps each record with the last error message of the moment.
class CapturingAppender : public LogAppender {
public:
    struct Capture {
        tstring level;
        tstring file;
        tstring function;
        tstring message;
        std::string lastError;
    };

    void append(const LogEvent& event) override {
        captures.push_back({event.levelName, event.fileName, event.functionName, event.message, app::lastErrorMsg()});
    }

    std::vector<Capture> captures;
};

// Collects what is written to standard error while it lives: the stream's descriptor leads to a file meanwhile,
// opened untranslated so that the text reads as it was written.
class StandardErrorCapture {
public:
    StandardErrorCapture()
        : path_(dir_.file(L"stderr.txt")), saved_(_dup(_fileno(stderr))) {
        fflush(stderr);
        const int file = _wopen(path_.c_str(), _O_CREAT | _O_WRONLY | _O_BINARY, _S_IREAD | _S_IWRITE);
        _dup2(file, _fileno(stderr));
        _close(file);
    }
    ~StandardErrorCapture() {
        fflush(stderr);
        _dup2(saved_, _fileno(stderr));
        _close(saved_);
    }
    StandardErrorCapture(const StandardErrorCapture&) = delete;
    StandardErrorCapture& operator=(const StandardErrorCapture&) = delete;

    std::string text() const {
        fflush(stderr);
        return krtest::readFile(path_);
    }

private:
    krtest::ScratchDir dir_;
    std::wstring path_;
    int saved_;
};

const tstring kNonAsciiText = L"cannot write J\u00fcrgen \u6587\u4ef6 main.msi";

std::string errnoText(int value) {
    errno = value;
    return lastRuntimeErrorText();
}

} // namespace

TEST(Launch, EachKindOfEscapingErrorGivesItsMessageAndOneReport) {
    const krtest::EnvVariableScope debugOff(L"KESTREL_DEBUG");
    struct Case {
        app::MainRoutine routine;
        std::string lastError;
        std::wstring record; // a regular expression
    };
    const std::vector<Case> cases{
        {[] { KR_RAISE(MessageBuilder() << kNonAsciiText); }, tstrings::encodeUtf8(kNonAsciiText),
         L"Exception with message 'app_test\\.cpp\\(\\d+\\) at .*\\(\\): " + kNonAsciiText + L"' caught"},
        {[] {
             errno = ERANGE;
             throw std::runtime_error("its own text");
         },
         errnoText(ERANGE), L"Exception with message 'its own text' caught"},
        {[] { throw 42; }, "Unknown error", L"Unknown exception caught"},
        {[] { throw std::bad_alloc(); }, "Unknown error", L"Unknown exception caught"},
        {[] { throw std::logic_error("logic"); }, "Unknown error", L"Unknown exception caught"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.lastError);
        CapturingAppender lastError;
        EXPECT_EQ(app::launch(std::nothrow, c.routine, &lastError), 1);
        ASSERT_EQ(lastError.captures.size(), 1u);
        const CapturingAppender::Capture& report = lastError.captures.front();
        EXPECT_EQ(report.lastError, c.lastError);
        EXPECT_EQ(report.level, L"ERROR");
        EXPECT_EQ(report.file, L"app.cpp");
        EXPECT_EQ(report.function, L"app::launch");
        EXPECT_TRUE(std::regex_match(report.message, std::wregex(c.record))) << krtest::utf8(report.message);
        EXPECT_EQ(app::lastErrorMsg(), "");
    }
}

TEST(Launch, OnlyTheFailureReportReachesTheLastErrorAppender) {
    const krtest::EnvVariableScope debugOff(L"KESTREL_DEBUG");
    CapturingAppender returned;
    EXPECT_EQ(app::launch(std::nothrow, [] { KR_ERROR("written by a routine that then returns"); }, &returned), 0);
    EXPECT_TRUE(returned.captures.empty());

    CapturingAppender failed;
    const int status = app::launch(
        std::nothrow,
        [] {
            KR_ERROR("written before the failure");
            KR_RAISE("failure");
        },
        &failed);
    EXPECT_EQ(status, 1);
    ASSERT_EQ(failed.captures.size(), 1u);
    EXPECT_EQ(failed.captures[0].lastError, "failure");
}

TEST(Launch, LoggerKeepsTheDebugDependentAppenderAfterwards) {
    const krtest::RecordingAppender before;
    struct Case {
        const wchar_t* value; // null: unset
        bool debug;
    };
    for (const Case& c : {Case{L"true", true}, Case{nullptr, false}, Case{L"", false}, Case{L"TRUE", false},
                          Case{L"true ", false}, Case{L" true", false}, Case{L"1", false}}) {
        const auto debug = c.value ? std::make_unique<krtest::EnvVariableScope>(L"KESTREL_DEBUG", c.value)
                                   : std::make_unique<krtest::EnvVariableScope>(L"KESTREL_DEBUG");
        const std::string label = c.value ? "'" + krtest::utf8(c.value) + "'" : "unset";
        EXPECT_EQ(isDebugLoggingEnabled(), c.debug) << label;

        const StandardErrorCapture quiet;
        CapturingAppender lastError;
        for (const app::MainRoutine& routine : {app::MainRoutine([] {}), app::MainRoutine([] { KR_RAISE("x"); })}) {
            app::launch(std::nothrow, routine, &lastError);
            LogAppender* const after = Logger::global().getAppender();
            EXPECT_NE(after, &before) << label;
            if (c.debug) {
                EXPECT_NE(dynamic_cast<StandardLogAppender*>(after), nullptr) << label;
            } else {
                EXPECT_NE(dynamic_cast<NopLogAppender*>(after), nullptr) << label;
            }
        }
        EXPECT_EQ(quiet.text().empty(), !c.debug) << label;
    }
}

TEST(Launch, DebugRecordsAreShortUtf8LinesOnStandardError) {
    const krtest::EnvVariableScope debugOn(L"KESTREL_DEBUG", L"true");
    CapturingAppender lastError;
    const StandardErrorCapture err;
    app::launch(std::nothrow, [] { KR_RAISE(MessageBuilder() << kNonAsciiText); }, &lastError);

    const std::string text = err.text();
    std::smatch lines;
    const std::regex records("\\[TRACE\\] app\\.cpp:(\\d+): Entering app::launch\n"
                             "\\[ERROR\\] app\\.cpp:\\d+: Exception with message 'app_test\\.cpp\\(\\d+\\) "
                             "at [^\n]*\\(\\): ([^\n]*)' caught\n"
                             "\\[TRACE\\] app\\.cpp:0: Exiting app::launch \\(entered at app\\.cpp:(\\d+)\\)\n");
    ASSERT_TRUE(std::regex_match(text, lines, records)) << text;
    EXPECT_EQ(lines[1], lines[3]);
    EXPECT_EQ(lines[2], tstrings::encodeUtf8(kNonAsciiText));
}

TEST(Launch, NullLastErrorAppenderWritesTheMessageToStandardError) {
    const krtest::EnvVariableScope debugOff(L"KESTREL_DEBUG");
    const StandardErrorCapture err;
    EXPECT_EQ(app::launch(std::nothrow, [] { KR_RAISE(MessageBuilder() << kNonAsciiText); }, nullptr), 1);
    EXPECT_EQ(err.text(), tstrings::encodeUtf8(kNonAsciiText) + "\n");
}

TEST(LastErrorLogAppender, WritesAnEmptyLineWhenNoMessageIsSet) {
    const StandardErrorCapture err;
    app::defaultLastErrorAppender().append(LogEvent{});
    EXPECT_EQ(err.text(), "\n");
    EXPECT_NE(dynamic_cast<LastErrorLogAppender*>(&app::defaultLastErrorAppender()), nullptr);
}
