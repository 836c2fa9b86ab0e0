// Tests of the executor: quoting, what the child really receives, exit codes, start options, failures, records.
#include "Executor.h"

#include "Log.h"
#include "WinErrorHandling.h"
#include "krtest.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

namespace {

using krtest::utf8;

struct Record {
    std::wstring level;
    std::wstring function;
    std::wstring message;
};

class CapturingAppender : public LogAppender {
public:
    void append(const LogEvent& event) override {
        records.push_back({event.levelName, event.functionName, event.message});
    }
    std::vector<Record> records;
};

// Each test runs kr-echo with its report in a fresh directory and the global logger's records captured.
class ExecutorTest : public ::testing::Test {
protected:
    void SetUp() override {
        saved_ = Logger::global().setAppender(&log_);
        SetEnvironmentVariableW(L"KR_ECHO_OUT", reportPath_.c_str());
        SetEnvironmentVariableW(L"KR_ECHO_EXIT", nullptr);
    }

    void TearDown() override {
        Logger::global().setAppender(saved_);
        SetEnvironmentVariableW(L"KR_ECHO_OUT", nullptr);
        SetEnvironmentVariableW(L"KR_ECHO_EXIT", nullptr);
    }

    std::map<std::string, std::string> report() const { return krtest::readEchoReport(reportPath_); }

    krtest::ScratchDir scratch_;
    const std::wstring reportPath_ = scratch_.file(L"report.txt");
    const std::wstring echo_ = krtest::binPath(L"kr-echo.exe");
    CapturingAppender log_;
    LogAppender* saved_ = nullptr;
};

// A program path as the executor puts it first on the command line: quoted when it holds a blank.
std::wstring asFirstElement(const std::wstring& path) {
    return path.find_first_of(L" \t") == std::wstring::npos ? path : L"\"" + path + L"\"";
}

std::wstring pidOf(const Record& record) { return record.message.substr(record.message.rfind(L"PID=") + 4); }

TEST(ExecutorCommandLine, QuotesElementsWithBlanksUnlessQuotedWhole) {
    Executor executor(L"C:\\Windows\\system32\\msiexec.exe");
    executor.addArg(L"/i")
        .addArg(L"C:\\Program Files\\x.exe")
        .addArg(L"a\tb")
        .addArg(L"\"already quoted\"")
        .addArg(L"\"open quote")
        .addArg(L"\"")
        .addArg(L"a\\\" b\\");
    EXPECT_EQ(executor.buildCommandLine(), L"C:\\Windows\\system32\\msiexec.exe /i \"C:\\Program Files\\x.exe\" "
                                           L"\"a\tb\" \"already quoted\" \"\"open quote\" \" \"a\\\" b\\\"");

    EXPECT_EQ(Executor(L"p").addArg(L"a").addArg(L"").addArg(L"b").buildCommandLine(), L"p a  b");
    EXPECT_EQ(Executor(L"C:\\Program Files\\App\\app.exe").buildCommandLine(), L"\"C:\\Program Files\\App\\app.exe\"");
    // The program path is never taken for a property assignment.
    EXPECT_EQ(Executor(L"a=b c.exe").addArg(L"a=b c").buildCommandLine(), L"\"a=b c.exe\" a=\"b c\"");
}

TEST(ExecutorCommandLine, PropertyValuesWithBlanksAreQuotedAfterTheEqualsSign) {
    const std::vector<std::pair<std::wstring, std::wstring>> cases = {
        {L"INSTALLDIR=C:\\Program Files\\App", L"INSTALLDIR=\"C:\\Program Files\\App\""},
        {L"INSTALLDIR=C:\\Program Files\\App\\", L"INSTALLDIR=\"C:\\Program Files\\App\\\""},
        {L"_P.2=a\tb", L"_P.2=\"a\tb\""},
        {L"MSG=say \"hi\" now", L"MSG=\"say \"\"hi\"\" now\""},
        {L"MSG=\"open value", L"MSG=\"\"\"open value\""},
        {L"x=\"y z\"", L"x=\"y z\""},
        {L"x=\"\"", L"x=\"\""},
        {L"x=", L"x="},
        {L"x=a\"b", L"x=a\"b"},
        // Not property names: the whole element is quoted.
        {L"-x=\"y z\"", L"\"-x=\"y z\"\""},
        {L"1X=a b", L"\"1X=a b\""},
        {L"A B=c", L"\"A B=c\""},
        {L"=a b", L"\"=a b\""},
    };
    for (const auto& [element, expected] : cases) {
        EXPECT_EQ(Executor(L"p").addArg(element).buildCommandLine(), L"p " + expected) << utf8(element);
    }
}

TEST_F(ExecutorTest, ChildReceivesTheComposedLine) {
    Executor executor(echo_);
    executor.addArg(L"/i")
        .addArg(L"C:\\Program Files\\x.exe")
        .addArg(L"a\tb")
        .addArg(L"\"already quoted\"")
        .addArg(L"INSTALLDIR=C:\\Program Files\\App")
        .addArg(L"x=\"y z\"")
        .addArg(L"a")
        .addArg(L"")
        .addArg(L"b")
        .addArg(L"MSG=say \"hi\" now")
        .setArgumentText(L"X=\"a \\\"b  \"\tc");
    ASSERT_EQ(executor.execAndWaitForExit(), 0);

    const auto child = report();
    const std::wstring expected = asFirstElement(echo_) + L" /i \"C:\\Program Files\\x.exe\" \"a\tb\" \"already quoted\" "
                                          L"INSTALLDIR=\"C:\\Program Files\\App\" x=\"y z\" a  b "
                                          L"MSG=\"say \"\"hi\"\" now\" X=\"a \\\"b  \"\tc";
    EXPECT_EQ(child.at("cmdline"), utf8(expected));
    EXPECT_EQ(executor.buildCommandLine(), expected);

    // The empty element leaves no trace in argv; the doubled quotes are the installer program's own syntax.
    const std::vector<std::string> argv = {utf8(echo_), "/i", "C:\\Program Files\\x.exe", "a\tb", "already quoted",
                                           "INSTALLDIR=C:\\Program Files\\App", "x=y z", "a", "b"};
    for (size_t i = 0; i < argv.size(); ++i) {
        EXPECT_EQ(child.at("arg" + std::to_string(i)), argv[i]) << i;
    }
}

TEST_F(ExecutorTest, ProgramPathWithBlankIsApplicationNameAndQuotedFirstElement) {
    const std::wstring dir = scratch_.file(L"dir with blank");
    ASSERT_TRUE(CreateDirectoryW(dir.c_str(), nullptr));
    const std::wstring program = dir + L"\\kr echo.exe";
    ASSERT_TRUE(CopyFileW(echo_.c_str(), program.c_str(), TRUE));

    ASSERT_EQ(Executor(program).addArg(L"/x").execAndWaitForExit(), 0);
    const auto child = report();
    EXPECT_EQ(child.at("cmdline"), utf8(L"\"" + program + L"\" /x"));
    EXPECT_EQ(child.at("argc"), "2");
    EXPECT_EQ(child.at("arg0"), utf8(program));
}

TEST_F(ExecutorTest, ExitCodeComesBackBitForBit) {
    const std::vector<std::pair<std::wstring, int>> cases = {{L"0", 0}, {L"3010", 3010}, {L"4294967295", -1}};
    for (const auto& [requested, expected] : cases) {
        SetEnvironmentVariableW(L"KR_ECHO_EXIT", requested.c_str());
        log_.records.clear();
        EXPECT_EQ(Executor(echo_).execAndWaitForExit(), expected) << utf8(requested);
        ASSERT_FALSE(log_.records.empty());
        EXPECT_EQ(log_.records.back().message, L"Process with PID=" + pidOf(log_.records.front()) +
                                                   L" terminated. Exit code=" + requested);
    }
}

TEST_F(ExecutorTest, DefaultsStartTheChildHiddenWithoutConsoleWindowAndTraceItsLife) {
    Executor executor(echo_);
    executor.addArg(L"/i").addArg(L"C:\\Program Files\\x.msi");
    ASSERT_EQ(executor.execAndWaitForExit(), 0);

    const auto child = report();
    EXPECT_EQ(child.at("flags"), "0x00000001"); // STARTF_USESHOWWINDOW
    EXPECT_EQ(child.at("show"), "0");           // SW_HIDE
    EXPECT_EQ(child.at("console"), "0");        // CREATE_NO_WINDOW

    const std::wstring pid = krtest::wide(child.at("pid"));
    ASSERT_EQ(log_.records.size(), 2u);
    EXPECT_EQ(log_.records[0].level, L"TRACE");
    EXPECT_EQ(log_.records[0].function, L"Executor::startProcess");
    EXPECT_EQ(log_.records[0].message, L"CreateProcess(" + echo_ + L", " + executor.buildCommandLine() +
                                           L") succeeded; PID=" + pid);
    EXPECT_EQ(log_.records[1].level, L"TRACE");
    EXPECT_EQ(log_.records[1].function, L"Executor::execAndWaitForExit");
    EXPECT_EQ(log_.records[1].message, L"Process with PID=" + pid + L" terminated. Exit code=0");
}

TEST_F(ExecutorTest, VisibleChildGetsNoShowWindowRequest) {
    ASSERT_EQ(Executor(echo_).setVisible(true).execAndWaitForExit(), 0);
    EXPECT_EQ(report().at("flags"), "0x00000000");
    ASSERT_FALSE(log_.records.empty());
    EXPECT_EQ(log_.records[0].message.rfind(L"CreateProcess[visible](" + echo_ + L", ", 0), 0u);
}

TEST_F(ExecutorTest, SuspendedChildIsPutInItsJobBeforeItRuns) {
    const OwnedHandle job(CreateJobObjectW(nullptr, nullptr));
    ASSERT_NE(job.get(), nullptr);
    DWORD hookPid = 0;
    BOOL inJob = FALSE;
    DWORD waitInHook = WAIT_FAILED;
    Executor executor(echo_);
    executor.setSuspended(true).setInheritHandles(true).setJobObject(job.get()).setAfterStart([&](HANDLE process) {
        hookPid = GetProcessId(process);
        IsProcessInJob(process, job.get(), &inJob);
        waitInHook = WaitForSingleObject(process, 1000); // a child that runs ends well within this
    });
    ASSERT_EQ(executor.execAndWaitForExit(), 0);

    const std::wstring pid = krtest::wide(report().at("pid"));
    EXPECT_EQ(std::to_wstring(hookPid), pid);
    EXPECT_TRUE(inJob);
    EXPECT_EQ(waitInHook, static_cast<DWORD>(WAIT_TIMEOUT));
    ASSERT_EQ(log_.records.size(), 4u);
    EXPECT_EQ(log_.records[0].message,
              L"CreateProcess[suspended][inherit](" + echo_ + L", " + asFirstElement(echo_) + L") succeeded; PID=" + pid);
    EXPECT_EQ(log_.records[1].message, L"AssignProcessToJobObject(PID=" + pid + L")");
    EXPECT_EQ(log_.records[1].function, L"Executor::startProcess");
    EXPECT_EQ(log_.records[2].message, L"ResumeThread()");
    EXPECT_EQ(log_.records[2].function, L"Executor::execAndWaitForExit");
    EXPECT_EQ(log_.records[3].message, L"Process with PID=" + pid + L" terminated. Exit code=0");
}

TEST_F(ExecutorTest, MissingProgramRaisesCreateProcessFailureWithSystemDescription) {
    const std::wstring missing = scratch_.file(L"missing.exe");
    try {
        Executor(missing).addArg(L"/i").execAndWaitForExit();
        FAIL() << "no exception";
    } catch (const KrError<SysError>& error) {
        const std::string expected = "CreateProcess(" + utf8(missing) + ", " + utf8(missing) +
                                     " /i) failed. System error [2](system error 2 (" +
                                     utf8(getSystemErrorText(ERROR_FILE_NOT_FOUND, nullptr)) + "))";
        EXPECT_EQ(error.bareMessage(), expected);
        EXPECT_NE(std::string(error.what()).find(") at Executor::startProcess(): " + expected), std::string::npos)
            << error.what();
        EXPECT_EQ(std::string(error.what()).rfind("Executor.cpp(", 0), 0u) << error.what();
        EXPECT_EQ(std::string(error.bareMessage()).find("No description available"), std::string::npos);
    }
    EXPECT_TRUE(log_.records.empty());
}

TEST_F(ExecutorTest, CommandLineBeyondWhatTheSystemTakesIsRefusedNeverCut) {
    // 32,766 characters plus the terminator fill the system's limit exactly; one more is refused.
    const std::wstring prefix = asFirstElement(echo_) + L" ";
    Executor longest(echo_);
    longest.addArg(std::wstring(32766 - prefix.size(), L'a'));
    ASSERT_EQ(longest.execAndWaitForExit(), 0);
    EXPECT_EQ(report().at("cmdline").size(), 32766u);
    DeleteFileW(reportPath_.c_str());

    Executor tooLong(echo_);
    tooLong.addArg(std::wstring(32767 - prefix.size(), L'a'));
    try {
        tooLong.execAndWaitForExit();
        FAIL() << "no exception";
    } catch (const KrError<SysError>& error) {
        const std::string expected = "CreateProcess(" + utf8(echo_) + ", " + utf8(tooLong.buildCommandLine()) +
                                     ") failed. System error [206](system error 206 (" +
                                     utf8(getSystemErrorText(ERROR_FILENAME_EXCED_RANGE, nullptr)) + "))";
        EXPECT_EQ(error.bareMessage(), expected);
    }
    EXPECT_FALSE(krtest::exists(reportPath_)) << "the child was started";
}

TEST_F(ExecutorTest, FailedJobAssignmentRaisesAndEndsTheChild) {
    const OwnedHandle notAJob(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    bool hookCalled = false;
    try {
        Executor(echo_).setSuspended(true).setJobObject(notAJob.get()).setAfterStart([&](HANDLE) {
            hookCalled = true;
        }).execAndWaitForExit();
        FAIL() << "no exception";
    } catch (const KrError<SysError>& error) {
        EXPECT_EQ(std::string(error.bareMessage()).rfind("AssignProcessToJobObject() failed. System error [", 0), 0u)
            << error.bareMessage();
        EXPECT_NE(std::string(error.what()).find(" at Executor::startProcess(): "), std::string::npos);
    }
    EXPECT_FALSE(hookCalled);
    ASSERT_EQ(log_.records.size(), 2u);
    const DWORD pid = static_cast<DWORD>(std::stoul(pidOf(log_.records[0])));
    EXPECT_EQ(log_.records[1].message, L"AssignProcessToJobObject(PID=" + std::to_wstring(pid) + L")");

    // The suspended child must not be left behind: it is gone, or ends at once.
    const OwnedHandle child(OpenProcess(SYNCHRONIZE | PROCESS_TERMINATE, FALSE, pid));
    if (child.get() && WaitForSingleObject(child.get(), 5000) != WAIT_OBJECT_0) {
        TerminateProcess(child.get(), 1);
        ADD_FAILURE() << "the child was left running";
    }
    EXPECT_FALSE(krtest::exists(reportPath_));
}

TEST(OwnedHandleTest, ClosesOnResetAndDestructionOnlyOnceAndKeepsLastError) {
    const HANDLE first = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    const HANDLE second = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    DWORD flags = 0;
    {
        OwnedHandle owner(first);
        OwnedHandle moved(std::move(owner));
        EXPECT_EQ(owner.get(), nullptr);
        owner = std::move(moved);
        EXPECT_EQ(owner.get(), first);
        owner.reset(first);
        EXPECT_TRUE(GetHandleInformation(first, &flags));
        owner.reset(second);
        EXPECT_FALSE(GetHandleInformation(first, &flags));
        SetLastError(1234);
    }
    EXPECT_EQ(GetLastError(), 1234u);
    EXPECT_FALSE(GetHandleInformation(second, &flags));
}

} // namespace
