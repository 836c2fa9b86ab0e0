// Tests of record building, the full record format, the general appenders and scope tracing.
#include "Log.h"

#include "RecordingAppender.h"
#include "krtest.h"

#include <gtest/gtest.h>

#include <cstdio>

namespace {

LogEvent sampleEvent(const wchar_t* moduleName) {
    LogEvent event{};
    event.timestamp.wYear = 2026;
    event.timestamp.wMonth = 3;
    event.timestamp.wDay = 7;
    event.timestamp.wHour = 4;
    event.timestamp.wMinute = 5;
    event.timestamp.wSecond = 6;
    event.timestamp.wMilliseconds = 9;
    event.processId = 1234;
    event.threadId = 56;
    event.moduleName = moduleName;
    event.levelName = L"INFO";
    event.fileName = L"Executor.cpp";
    event.line = 126;
    event.functionName = L"Executor::startProcess";
    event.message = L"Gr\u00fc\u00dfe";
    return event;
}

} // namespace

TEST(StreamLogAppenderTest, WritesTheTwoLineRecordAsUtf8) {
    const krtest::ScratchDir dir;
    const std::wstring path = dir.file(L"records.txt");
    FILE* out = _wfopen(path.c_str(), L"wb");
    ASSERT_NE(out, nullptr);
    StreamLogAppender appender(out);
    appender.append(sampleEvent(L"setup.exe"));
    fclose(out);
    EXPECT_EQ(krtest::readFile(path), "[2026/03/07 04:05:06.009, setup.exe (PID: 1234, TID: 56), Executor.cpp:126 "
                         "(Executor::startProcess)]\n\tINFO: Gr\xC3\xBC\xC3\x9F" "e\n");
}

TEST(LoggerTest, BuildsRecordsWithBaseNamesAndLevelNames) {
    krtest::RecordingAppender recording;
    Logger& logger = Logger::global();
    logger.log(LogLevel::Warning, L"C:\\src\\N.cpp", 126, L"f", tstring(L"m1"));
    logger.log(LogLevel::Trace, L"a/b/c.cpp", 1, L"g", MessageBuilder() << L"m" << 2);
    logger.log(static_cast<LogLevel>(7), L"plain.cpp", 2, L"h", tstring(L"m3"));
    ASSERT_EQ(recording.records.size(), 3u);
    EXPECT_EQ(recording.records[0].file, L"N.cpp");
    EXPECT_EQ(recording.records[0].line, 126);
    EXPECT_EQ(recording.records[0].level, L"WARNING");
    EXPECT_EQ(recording.records[1].file, L"c.cpp");
    EXPECT_EQ(recording.records[1].message, L"m2");
    EXPECT_EQ(recording.records[2].level, L"UNKNOWN");
    EXPECT_EQ(recording.records[2].file, L"plain.cpp");
}

TEST(LoggerTest, RecordsCarryTheExecutableNameAndIdentifiers) {
    struct Capture : LogAppender {
        tstring moduleName;
        DWORD processId = 0;
        DWORD threadId = 0;
        void append(const LogEvent& event) override {
            moduleName = event.moduleName;
            processId = event.processId;
            threadId = event.threadId;
        }
    } capture;
    LogAppender* previous = Logger::global().setAppender(&capture);
    KR_INFO("hello");
    Logger::global().setAppender(previous);
    EXPECT_EQ(capture.moduleName, L"test_Log.exe");
    EXPECT_EQ(capture.processId, GetCurrentProcessId());
    EXPECT_EQ(capture.threadId, GetCurrentThreadId());
}

TEST(LoggerTest, RecordMacroNamesItsSite) {
    krtest::RecordingAppender recording;
    const int line = __LINE__ + 1;
    KR_ERROR("code " << 5u << " at " << L"x");
    ASSERT_EQ(recording.records.size(), 1u);
    EXPECT_EQ(recording.records[0].file, L"Log_test.cpp");
    EXPECT_EQ(recording.records[0].line, line);
    EXPECT_EQ(recording.records[0].function, L"LoggerTest_RecordMacroNamesItsSite_Test::TestBody");
    EXPECT_EQ(recording.records[0].message, L"code 5 at x");
}

TEST(ScopeTracerTest, EnteringAndExitingRecords) {
    krtest::RecordingAppender recording;
    {
        ScopeTracer tracer(&Logger::global(), LogLevel::Trace, L"share\\native\\common\\app.cpp", 77, L"app::launch",
                           L"app::launch");
    }
    ASSERT_EQ(recording.records.size(), 2u);
    EXPECT_EQ(recording.records[0].message, L"Entering app::launch");
    EXPECT_EQ(recording.records[0].line, 77);
    EXPECT_EQ(recording.records[0].file, L"app.cpp");
    EXPECT_EQ(recording.records[1].message, L"Exiting app::launch (entered at app.cpp:77)");
    EXPECT_EQ(recording.records[1].line, 0);
    EXPECT_EQ(recording.records[1].function, L"app::launch");
}

TEST(ScopeTracerTest, LevelBelowTheMinimumWritesNothing) {
    krtest::RecordingAppender recording;
    { ScopeTracer tracer(&Logger::global(), static_cast<LogLevel>(-1), L"f.cpp", 1, L"f", L"scope"); }
    EXPECT_TRUE(recording.records.empty());
}

TEST(Appenders, TeeSkipsAnEmptyAppender) {
    krtest::RecordingAppender second;
    TeeLogAppender tee(nullptr, &second);
    tee.append(sampleEvent(L"m"));
    EXPECT_EQ(second.records.size(), 1u);
}

TEST(Appenders, WithExtraFeedsBothThenRestoresTheEarlierAppender) {
    krtest::RecordingAppender base;
    struct Counter : LogAppender {
        int count = 0;
        void append(const LogEvent&) override { ++count; }
    } extra, intruder;
    {
        WithExtraLogAppender with(&extra);
        KR_INFO("both");
        Logger::global().setAppender(&intruder);
    }
    EXPECT_EQ(Logger::global().getAppender(), &base);
    EXPECT_EQ(base.records.size(), 1u);
    EXPECT_EQ(extra.count, 1);
    EXPECT_EQ(intruder.count, 0);
}

TEST(Appenders, DefaultAppenderIsReinstalledWhenNoneIsSet) {
    LogAppender* previous = Logger::global().setAppender(nullptr);
    EXPECT_NE(Logger::global().getAppender(), nullptr);
    Logger::global().setAppender(previous);
}
