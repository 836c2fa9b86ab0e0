// Tests of app::wlaunch through kr-frame-probe, run as a user would: message boxes, standard error, exit
// codes, and the debug records on the console the program was started from.
#include "WinApp.h"

#include "WinErrorHandling.h"
#include "krtest.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <optional>
#include <regex>

namespace {

const std::wstring kNonAsciiText = L"Setup cannot write C:\\Users\\J\u00fcrgen\\\u6587\u4ef6\\main.msi";
const uint32_t kFailedExitCode = 0xFFFFFFFF;

std::wstring probePath() { return krtest::binPath(L"kr-frame-probe.exe"); }

krtest::RunOptions options(const std::optional<std::wstring>& debugValue = std::nullopt) {
    krtest::RunOptions result;
    result.timeoutMs = 60000;
    if (debugValue) {
        result.setEnv = {{L"KESTREL_DEBUG", *debugValue}};
    } else {
        result.unsetEnv = {L"KESTREL_DEBUG"};
    }
    return result;
}

krtest::RunResult runProbe(const std::vector<std::wstring>& args) {
    krtest::RunResult result = krtest::run(probePath(), args, options());
    EXPECT_FALSE(result.timedOut);
    return result;
}

// Lines without their line ends; the runtime library writes "\r\n".
std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> result;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) {
            end = text.size();
        }
        std::string line = text.substr(start, end - start);
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        result.push_back(line);
        start = end + 1;
    }
    return result;
}

// One failed run: a single box with `text`, titled with the file name, the text once on standard error and -1.
void expectOneFailureReport(const krtest::RunResult& result, const std::wstring& text,
                            const std::wstring& caption = L"kr-frame-probe.exe") {
    ASSERT_EQ(result.dialogs.size(), 1u);
    EXPECT_EQ(result.dialogs[0].caption, caption);
    EXPECT_EQ(result.dialogs[0].text, text);
    EXPECT_EQ(result.err, krtest::utf8(text) + "\r\n");
    EXPECT_EQ(result.exitCode, kFailedExitCode);
}

// The probe's run as seen through kr-frame-console, which starts it the way Windows starts a GUI program from
// a console window and reads that console's screen afterwards.
struct ConsoleRun {
    krtest::RunResult probe; // out stays empty
    std::vector<std::string> console;
};

ConsoleRun runOnConsole(const std::vector<std::wstring>& probeArgs, const std::optional<std::wstring>& debugValue,
                        bool withConsole = true) {
    std::vector<std::wstring> args;
    if (!withConsole) {
        args.push_back(L"--no-console");
    }
    args.push_back(probePath());
    args.insert(args.end(), probeArgs.begin(), probeArgs.end());
    krtest::RunOptions hostOptions = options(debugValue);
    hostOptions.timeoutMs = 90000;
    hostOptions.answerDescendantDialogs = false;
    ConsoleRun run{krtest::run(krtest::binPath(L"kr-frame-console.exe"), args, hostOptions), {}};
    EXPECT_FALSE(run.probe.timedOut);
    for (const std::string& line : lines(run.probe.out)) {
        const size_t bar = line.find('|');
        if (line.compare(0, bar, "console") == 0) {
            run.console.push_back(line.substr(bar + 1));
        } else {
            const size_t secondBar = line.find('|', bar + 1);
            run.probe.dialogs.push_back(
                {krtest::wide(line.substr(bar + 1, secondBar - bar - 1)), krtest::wide(line.substr(secondBar + 1))});
        }
    }
    run.probe.out.clear();
    return run;
}

const std::regex kEnteringRecord("\\[TRACE\\] app\\.cpp:(\\d+): Entering app::launch");
const std::regex kExitingRecord("\\[TRACE\\] app\\.cpp:0: Exiting app::launch \\(entered at app\\.cpp:(\\d+)\\)");

} // namespace

TEST(Frame, ReturningRoutineShowsNoBoxAndExitsWithTheStoredCode) {
    struct Case {
        std::vector<std::wstring> args;
        uint32_t exitCode;
    };
    for (const Case& c :
         {Case{{L"return", L"1605"}, 1605u}, Case{{L"return", L"0"}, 0u}, Case{{L"return"}, kFailedExitCode}}) {
        const krtest::RunResult result = runProbe(c.args);
        EXPECT_EQ(result.exitCode, c.exitCode);
        EXPECT_TRUE(result.dialogs.empty());
        EXPECT_EQ(result.err, "");
    }
}

TEST(Frame, KrErrorShowsItsBareMessageInOneBoxTitledWithTheFileName) {
    const krtest::RunResult result = runProbe({L"krerror", kNonAsciiText});
    expectOneFailureReport(result, kNonAsciiText);

    krtest::ScratchDir scratch;
    const std::wstring setup = scratch.file(L"setup.exe");
    ASSERT_TRUE(CopyFileW(probePath().c_str(), setup.c_str(), FALSE));
    const krtest::RunResult renamed = krtest::run(setup, {L"krerror", L"renamed"}, options());
    ASSERT_FALSE(renamed.timedOut);
    expectOneFailureReport(renamed, L"renamed", L"setup.exe");
}

TEST(Frame, SysErrorShowsTheSystemTextWithoutTheThrowSite) {
    krtest::ScratchDir scratch;
    const std::wstring path = scratch.file(L"missing\\J\u00fcrgen");
    const krtest::RunResult result = runProbe({L"syserror", path});
    const std::string expected = makeMessage(krtest::utf8(L"CreateDirectoryW(" + path + L") failed"), "System error",
                                             reinterpret_cast<const void*>(CreateDirectoryW), ERROR_PATH_NOT_FOUND);
    expectOneFailureReport(result, krtest::wide(expected));
}

TEST(Frame, OtherRuntimeErrorShowsTheErrnoTextAndAnythingElseUnknownError) {
    errno = ERANGE;
    const std::wstring errnoText = krtest::wide(lastRuntimeErrorText());
    ASSERT_FALSE(errnoText.empty());
    expectOneFailureReport(runProbe({L"runtime", std::to_wstring(ERANGE)}), errnoText);
    expectOneFailureReport(runProbe({L"int"}), L"Unknown error");
}

TEST(Frame, RecordWrittenWhileTheBoxIsShownOpensNoSecondBox) {
    // The probe's hook writes an ERROR record from inside MessageBoxW; it reaches the standard-error appender
    // again but not the box.
    const krtest::RunResult result = runProbe({L"nested", L"nested failure"});
    ASSERT_FALSE(result.timedOut);
    ASSERT_EQ(result.dialogs.size(), 1u);
    EXPECT_EQ(result.dialogs[0].text, L"nested failure");
    EXPECT_EQ(lines(result.err), (std::vector<std::string>{"nested failure", "nested failure"}));
    EXPECT_EQ(result.exitCode, kFailedExitCode);
}

TEST(DebugConsole, RecordsAppearOnTheConsoleTheProgramWasStartedFrom) {
    // ASCII text: how UTF-8 bytes look on a console depends on its code page and the runtime library's
    // console writes; the bytes themselves are checked on the pipe and in-process.
    const std::string text = "Setup cannot write C:\\Users\\setup\\main.msi";
    const ConsoleRun failed = runOnConsole({L"krerror", krtest::wide(text)}, L"true");
    ASSERT_EQ(failed.console.size(), 4u) << failed.probe.err;
    std::smatch entering;
    std::smatch exiting;
    ASSERT_TRUE(std::regex_match(failed.console[0], entering, kEnteringRecord)) << failed.console[0];
    EXPECT_TRUE(std::regex_match(failed.console[1],
                                 std::regex("\\[ERROR\\] app\\.cpp:\\d+: Exception with message 'kr-frame-probe\\.cpp"
                                            "\\(\\d+\\) at `anonymous-namespace'::probeMain\\(\\): .*' caught")))
        << failed.console[1];
    EXPECT_NE(failed.console[1].find(text), std::string::npos);
    EXPECT_EQ(failed.console[2], text);
    ASSERT_TRUE(std::regex_match(failed.console[3], exiting, kExitingRecord)) << failed.console[3];
    EXPECT_EQ(entering[1], exiting[1]);
    // The standard streams were reopened on the console: nothing is left for the inherited pipe.
    EXPECT_EQ(failed.probe.err, "");
    ASSERT_EQ(failed.probe.dialogs.size(), 1u);
    EXPECT_EQ(failed.probe.dialogs[0].text, krtest::wide(text));
    EXPECT_EQ(failed.probe.exitCode, kFailedExitCode);

    const ConsoleRun returned = runOnConsole({L"return", L"7"}, L"true");
    ASSERT_EQ(returned.console.size(), 2u);
    EXPECT_TRUE(std::regex_match(returned.console[0], kEnteringRecord)) << returned.console[0];
    EXPECT_TRUE(std::regex_match(returned.console[1], kExitingRecord)) << returned.console[1];
    EXPECT_TRUE(returned.probe.dialogs.empty());
    EXPECT_EQ(returned.probe.exitCode, 7u);
}

TEST(DebugConsole, OnlyExactlyTrueTurnsTheTraceOn) {
    for (const std::optional<std::wstring>& value :
         {std::optional<std::wstring>(L"TRUE"), std::optional<std::wstring>(L"true "), std::optional<std::wstring>(L""),
          std::optional<std::wstring>()}) {
        const std::string label = value ? "'" + krtest::utf8(*value) + "'" : "unset";
        SCOPED_TRACE(label);
        const ConsoleRun run = runOnConsole({L"krerror", L"quiet"}, value);
        EXPECT_EQ(run.console.size(), 0u);
        expectOneFailureReport(run.probe, L"quiet");
    }
}

TEST(DebugConsole, WithoutAParentConsoleTheOutputGoesToANewOne) {
    // The new console is gone with the program; what shows is that standard error no longer reaches the pipe.
    const ConsoleRun run = runOnConsole({L"krerror", L"no parent console"}, L"true", false);
    EXPECT_EQ(run.probe.err, "");
    ASSERT_EQ(run.probe.dialogs.size(), 1u);
    EXPECT_EQ(run.probe.dialogs[0].text, L"no parent console");
    EXPECT_EQ(run.probe.exitCode, kFailedExitCode);
}
