// End-to-end tests of the launcher: real packages, the real installer, exit codes and message boxes as users meet them.
#include "krpackages.h"
#include "krtest.h"

#include <windows.h>
#include <msi.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <tuple>
#include <regex>
#include <sstream>

namespace {

const uint32_t kLauncherFailed = 0xFFFFFFFF;

std::wstring programFilesDir(const wchar_t* variable) {
    wchar_t buffer[MAX_PATH] = {};
    const DWORD length = GetEnvironmentVariableW(variable, buffer, MAX_PATH);
    return std::wstring(buffer, length);
}

// Where the sample package puts its files: a 32-bit package lands in the 32-bit program files folder.
std::wstring sampleInstallDir() {
    for (const wchar_t* variable : {L"ProgramFiles(x86)", L"ProgramFiles"}) {
        const std::wstring dir = programFilesDir(variable) + L"\\Kestrel Sample";
        if (krtest::exists(dir)) {
            return dir;
        }
    }
    return std::wstring();
}

bool sampleInstalled() { return MsiQueryProductStateW(KR_SAMPLE_PRODUCT_CODE) == INSTALLSTATE_DEFAULT; }

void removeSampleIfInstalled() {
    if (sampleInstalled()) {
        krtest::run(L"C:\\windows\\system32\\msiexec.exe", {L"/x", KR_SAMPLE_PRODUCT_CODE, L"/qn"});
    }
    ASSERT_FALSE(sampleInstalled());
}

// Runs a test launcher with its own temporary directory, so whatever it leaves behind can be seen.
class LauncherRun : public ::testing::Test {
protected:
    krtest::RunResult launch(const std::wstring& launcher, const std::vector<std::wstring>& args,
                             krtest::RunOptions options = {}) {
        options.setEnv.push_back({L"TMP", temp_.path()});
        options.setEnv.push_back({L"TEMP", temp_.path()});
        options.unsetEnv.push_back(L"KESTREL_DEBUG");
        return krtest::run(krtest::binPath(launcher), args, options);
    }

    std::vector<std::wstring> leftovers() const { return krtest::listDir(temp_.path()); }

    krtest::ScratchDir temp_;
    krtest::ScratchDir work_;
};

class InstallRoad : public LauncherRun {
protected:
    void SetUp() override { removeSampleIfInstalled(); }
    void TearDown() override { removeSampleIfInstalled(); }

    // Options under which the sample package starts kr-echo with its properties, as the installer has them.
    krtest::RunOptions reporting() const {
        krtest::RunOptions options;
        options.setEnv = {{L"KR_REPORT", krtest::binPath(L"kr-echo.exe")}, {L"KR_ECHO_OUT", report_}};
        return options;
    }

    // The installer's side of the last reporting run: its own command line and the properties it read.
    std::pair<std::string, std::map<std::string, std::string>> installerSide() const {
        const std::map<std::string, std::string> echo = krtest::readEchoReport(report_);
        DeleteFileW(report_.c_str());
        return std::make_pair(echo.count("parent") ? echo.at("parent") : std::string(),
                              krtest::reportedProperties(echo));
    }

    const std::wstring report_ = work_.file(L"report.txt");
};

// The installer's command line up to the package the launcher wrote, as a pattern that ignores case.
const std::string kInstallerUpToPackage = R"([A-Za-z]:\\windows\\system32\\msiexec\.exe /i "?.*\\main\.msi"?)";

TEST_F(InstallRoad, InstallsSilentlyPassesArgumentsAndCleansUp) {
    const std::wstring log = work_.file(L"install log.txt");
    const krtest::RunResult result = launch(L"kr-sample-setup.exe", {L"/qn", L"/l*v", log});
    EXPECT_EQ(result.exitCode, 0u) << result.err;
    EXPECT_TRUE(result.dialogs.empty());
    EXPECT_TRUE(sampleInstalled());
    const std::wstring dir = sampleInstallDir();
    ASSERT_FALSE(dir.empty());
    EXPECT_EQ(krtest::readFile(dir + L"\\Gr\u00fc\u00dfe.txt").empty(), false);
    EXPECT_TRUE(krtest::exists(dir + L"\\readme.txt"));
    EXPECT_TRUE(krtest::exists(log)) << "the installer did not receive the launcher's arguments";
    EXPECT_TRUE(leftovers().empty()) << krtest::utf8(leftovers().front());
}

// The installer's side, seen through kr-echo, which the sample package starts with its properties: the
// installer's own command line and the properties as the installer read them.
TEST_F(InstallRoad, InstallerSeesNothingAddedTheDirectoryAsTypedAndARemovalWithoutInterfaceOrRestart) {
    // Nothing typed: nothing after the package, and the installer's own interface at its default, full.
    krtest::RunResult result = launch(L"kr-sample-setup.exe", {}, reporting());
    ASSERT_EQ(result.exitCode, 0u) << result.err;
    auto [commandLine, properties] = installerSide();
    EXPECT_TRUE(std::regex_match(commandLine, std::regex(kInstallerUpToPackage, std::regex::icase))) << commandLine;
    EXPECT_EQ(properties["UILevel"], "5");

    // The removal ignores every other argument: no interface, restarts suppressed and no log, whatever was typed.
    const std::wstring log = work_.file(L"removal.log");
    result = launch(L"kr-sample-setup.exe", {L"NOTE=typed", L"uninstall", L"/qb", L"REBOOT=Force", L"/l*v", log},
                    reporting());
    EXPECT_EQ(result.exitCode, 0u) << result.err;
    std::tie(commandLine, properties) = installerSide();
    EXPECT_EQ(properties["REMOVE"], "ALL");
    EXPECT_EQ(properties["REBOOT"], "ReallySuppress");
    EXPECT_EQ(properties["UILevel"], "2");
    EXPECT_EQ(properties["NOTE"], "");
    EXPECT_FALSE(krtest::exists(log));
    EXPECT_FALSE(sampleInstalled());

    // A directory property ending in a backslash, as installer documentation writes it, before an option.
    const std::wstring launcher = krtest::binPath(L"kr-sample-setup.exe");
    krtest::RunOptions options;
    options.setEnv = {{L"TMP", temp_.path()}, {L"TEMP", temp_.path()}};
    result = krtest::runCommandLine(launcher, krtest::quoteArgument(launcher) + L" INSTALLDIR=\"C:\\Some Dir\\\" /qn",
                                    options);
    EXPECT_EQ(result.exitCode, 0u) << result.err;
    EXPECT_TRUE(result.dialogs.empty());
    EXPECT_TRUE(krtest::exists(L"C:\\Some Dir\\readme.txt"));
    EXPECT_TRUE(leftovers().empty());
    removeSampleIfInstalled();
    // Wine's removal looks for the files in the default folder again, so it leaves them behind here.
    krtest::removeTree(L"C:\\Some Dir");
}

// A setup in a folder with blanks, one word of which is the removal's switch, whose line begins with its own
// path unquoted: as a line typed or stored unquoted gives it (here in small letters), and as the system makes
// the line from the path alone. The install road is taken and the installer's line holds no piece of the path.
TEST_F(InstallRoad, LaunchersPathUnquotedOnItsLineNeverReachesTheInstaller) {
    krtest::ScratchDir place;
    const std::wstring dir = place.file(L"Setup uninstall Files");
    ASSERT_TRUE(CreateDirectoryW(dir.c_str(), nullptr));
    const std::wstring setup = dir + L"\\setup.exe";
    const std::wstring echo = dir + L"\\echo.exe";
    ASSERT_TRUE(CopyFileW(krtest::binPath(L"kr-sample-setup.exe").c_str(), setup.c_str(), TRUE));
    ASSERT_TRUE(CopyFileW(krtest::binPath(L"kr-echo.exe").c_str(), echo.c_str(), TRUE));

    // Windows makes the line of a program started without one from the path as given; Wine puts it in quotes,
    // so there only the typed line shows the case.
    krtest::RunOptions options = reporting();
    ASSERT_EQ(krtest::runCommandLine(echo, L"", options).exitCode, 0u);
    const std::string madeLine = krtest::readEchoReport(report_)["cmdline"];
    EXPECT_TRUE(madeLine == krtest::utf8(echo) || madeLine == "\"" + krtest::utf8(echo) + "\"") << madeLine;

    std::wstring typed = setup;
    CharLowerW(typed.data());
    options.setEnv.insert(options.setEnv.end(), {{L"TMP", temp_.path()}, {L"TEMP", temp_.path()}});
    const std::pair<std::wstring, std::string> cases[] = {{typed + L" /qn", " /qn"}, {L"", ""}};
    for (const auto& [line, forwarded] : cases) {
        SCOPED_TRACE(krtest::utf8(line));
        const krtest::RunResult result = krtest::runCommandLine(setup, line, options);
        EXPECT_EQ(result.exitCode, 0u) << result.err;
        const std::string commandLine = installerSide().first;
        EXPECT_TRUE(std::regex_match(commandLine, std::regex(kInstallerUpToPackage + forwarded, std::regex::icase)))
            << commandLine;
        EXPECT_TRUE(sampleInstalled());
    }
    EXPECT_TRUE(leftovers().empty());
}

TEST_F(InstallRoad, FailingPackageGivesTheInstallerCodeAndNoBox) {
    const krtest::RunResult result = launch(L"kr-fails-setup.exe", {L"/qn"});
    EXPECT_EQ(result.exitCode, 1603u);
    EXPECT_TRUE(result.dialogs.empty());
    EXPECT_TRUE(result.err.empty()) << result.err;
    EXPECT_TRUE(leftovers().empty());
}

TEST_F(InstallRoad, UninstallRemovesTheProductAndASecondTimeReportsUnknownProduct) {
    ASSERT_EQ(launch(L"kr-sample-setup.exe", {L"/qn"}).exitCode, 0u);
    ASSERT_TRUE(sampleInstalled());

    const krtest::RunResult removal = launch(L"kr-sample-setup.exe", {L"uninstall"});
    EXPECT_EQ(removal.exitCode, 0u) << removal.err;
    EXPECT_TRUE(removal.dialogs.empty());
    EXPECT_FALSE(sampleInstalled());
    EXPECT_TRUE(sampleInstallDir().empty() || !krtest::exists(sampleInstallDir() + L"\\readme.txt"));

    const krtest::RunResult again = launch(L"kr-sample-setup.exe", {L"/qn", L"uninstall"});
    EXPECT_EQ(again.exitCode, 1605u);
    EXPECT_TRUE(again.dialogs.empty());
    EXPECT_TRUE(leftovers().empty());
}

TEST_F(InstallRoad, SwitchIsCaseSensitiveSoUninstallInCapitalsInstalls) {
    const std::wstring log = work_.file(L"log.txt");
    const krtest::RunResult result = launch(L"kr-sample-setup.exe", {L"/qn", L"/l*v", log, L"Uninstall"});
    EXPECT_TRUE(result.dialogs.empty());
    EXPECT_TRUE(krtest::exists(log)) << "Uninstall did not reach the installer program";
    EXPECT_TRUE(leftovers().empty());
}

TEST_F(InstallRoad, DebugTraceShowsEveryStep) {
    krtest::RunOptions options;
    options.setEnv.push_back({L"KESTREL_DEBUG", L"true"});
    const std::wstring log = work_.file(L"debug log.txt");
    krtest::RunResult result = launch(L"kr-sample-setup.exe", {L"/qn", L"/l*v", log, L"KR_NOTE=two words"}, options);
    ASSERT_EQ(result.exitCode, 0u) << result.err;
    // Under Wine the launcher shares the test's console, so its records stay on the captured standard error.
    const auto escaped = [](const std::wstring& text) {
        return std::regex_replace(krtest::utf8(text), std::regex(R"([\\^$.|?*+()\[\]{}])"), R"(\$&)");
    };
    const std::string dir = escaped(temp_.path()) + R"(\\-?[0-9]+\.tmp)";
    const std::string msiexec = R"([A-Za-z]:\\windows\\system32\\msiexec\.exe)";
    const std::vector<std::string> expected = {
        R"(\[TRACE\] app\.cpp:[0-9]+: Entering app::launch)",
        R"(\[TRACE\] WinPrivateDirectory\.cpp:[0-9]+: Created \[)" + dir + R"(\\\] directory)",
        R"(\[TRACE\] WinFileCreation\.cpp:[0-9]+: Moved '.*kvs-?[0-9]+\.tmp' file to ')" + dir + R"(\\main\.msi')",
        R"(\[TRACE\] Executor\.cpp:[0-9]+: CreateProcess\()" + msiexec + ", " + msiexec + R"( /i )" + dir +
            R"(\\main\.msi /qn /l\*v ")" + escaped(log) + R"(" KR_NOTE="two words"\) succeeded; PID=[0-9]+)",
        R"(\[TRACE\] Executor\.cpp:[0-9]+: Process with PID=[0-9]+ terminated\. Exit code=0)",
        R"(\[TRACE\] WinFileDeletion\.cpp:[0-9]+: Deleted \[)" + dir + R"(\\main\.msi\] file)",
        R"(\[TRACE\] WinFileDeletion\.cpp:[0-9]+: Deleted \[)" + dir + R"(\] directory)",
        R"(\[TRACE\] app\.cpp:0: Exiting app::launch \(entered at app\.cpp:[0-9]+\))",
    };
    std::istringstream lines(result.err);
    std::string line;
    size_t next = 0;
    while (next < expected.size() && std::getline(lines, line)) {
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        if (std::regex_match(line, std::regex(expected[next], std::regex::icase))) {
            ++next;
        }
    }
    EXPECT_EQ(next, expected.size()) << "missing in order: " << expected[std::min(next, expected.size() - 1)]
                                     << "\n" << result.err;
}

// Runs copies of programs beside planted libraries that record each load of themselves as "<name>.loaded":
// msi.dll, which the launcher loads itself, and uxtheme.dll, which the system loads by name late in a run, once
// the installer's windows need it, so that only the launcher's process-wide restriction keeps it to the system
// directory. Wine prefers its own system libraries to any that the search finds, so for the copies the planted
// ones are set to be preferred, as real files of those names would be on Windows.
class PlantedLibrary : public ::testing::Test {
protected:
    static constexpr const wchar_t* kCopyName = L"kr-beside-planted.exe";
    static constexpr const wchar_t* kOverrideKey = L"Software\\Wine\\AppDefaults\\kr-beside-planted.exe\\DllOverrides";
    const std::vector<std::wstring> planted_ = {L"msi", L"uxtheme"};

    void SetUp() override {
        for (const std::wstring& name : planted_) {
            ASSERT_EQ(RegSetKeyValueW(HKEY_CURRENT_USER, kOverrideKey, name.c_str(), REG_SZ, L"native,builtin",
                                      sizeof(L"native,builtin")),
                      ERROR_SUCCESS);
        }
    }
    void TearDown() override { RegDeleteTreeW(HKEY_CURRENT_USER, L"Software\\Wine\\AppDefaults\\kr-beside-planted.exe"); }

    krtest::RunResult runBesidePlanted(const std::wstring& program, const std::vector<std::wstring>& args) {
        const std::wstring copy = work_.file(kCopyName);
        EXPECT_TRUE(CopyFileW(krtest::binPath(program).c_str(), copy.c_str(), FALSE));
        for (const std::wstring& name : planted_) {
            EXPECT_TRUE(CopyFileW(krtest::binPath(L"..\\planted\\kr-planted.dll").c_str(),
                                  work_.file(name + L".dll").c_str(), FALSE));
        }
        krtest::RunOptions options;
        options.setEnv = {{L"TMP", temp_.path()}, {L"TEMP", temp_.path()}};
        options.currentDirectory = work_.path();
        return krtest::run(copy, args, options);
    }

    bool plantedWasLoaded(const std::wstring& name) const { return krtest::exists(work_.file(name + L".dll.loaded")); }

    krtest::ScratchDir temp_;
    krtest::ScratchDir work_;
};

TEST_F(PlantedLibrary, IsLoadedByAProgramWithTheOrdinarySearch) {
    for (const std::wstring& name : planted_) {
        EXPECT_EQ(runBesidePlanted(L"kr-load-by-name.exe", {name + L".dll"}).exitCode, 1u);
        EXPECT_TRUE(plantedWasLoaded(name)) << krtest::utf8(name);
    }
}

TEST_F(PlantedLibrary, IsNeverLoadedByTheLauncher) {
    removeSampleIfInstalled();
    EXPECT_EQ(runBesidePlanted(L"kr-sample-setup.exe", {L"uninstall"}).exitCode, 1605u);
    for (const std::wstring& name : planted_) {
        EXPECT_FALSE(plantedWasLoaded(name)) << krtest::utf8(name);
    }
}

TEST_F(LauncherRun, DirectoriesPlantedUnderTheComingNamesAreLeftAlone) {
    // Directories under the names of three seconds of coming ticks, in runs of 30 with one name free after
    // each run, so that the launcher meets planted names wherever its tick falls. A loaded machine may take
    // longer to plant and start the launcher than the names cover; then a new round plants in a fresh
    // directory, as Wine creates entries ever slower in a crowded one, and its names begin as far ahead as
    // the last round took to plant, half as much again; the launcher starts when their first tick comes.
    const int32_t span = 3000;
    int32_t lead = 0;
    std::vector<std::pair<std::wstring, size_t>> rounds;
    std::vector<std::wstring> planted;
    for (int round = 1;; ++round) {
        const std::wstring base = temp_.file(L"round" + std::to_wstring(round));
        ASSERT_TRUE(CreateDirectoryW(base.c_str(), nullptr));
        const size_t plantedBefore = planted.size();
        const int32_t started = static_cast<int32_t>(GetTickCount());
        const int32_t first = started + lead;
        for (int32_t number = first; number < first + span; ++number) {
            if ((number - first) % 31 != 30) {
                planted.push_back(base + L"\\" + std::to_wstring(number) + L".tmp");
                ASSERT_TRUE(CreateDirectoryW(planted.back().c_str(), nullptr));
            }
        }
        rounds.emplace_back(base, planted.size() - plantedBefore);
        const int32_t plantedBy = static_cast<int32_t>(GetTickCount());
        if (plantedBy < first) {
            Sleep(static_cast<DWORD>(first - plantedBy));
        }
        lead = (plantedBy - started) * 3 / 2;
        krtest::RunOptions options;
        options.setEnv = {{L"TMP", base}, {L"TEMP", base}, {L"KESTREL_DEBUG", L"true"}};
        const krtest::RunResult result = krtest::run(krtest::binPath(L"kr-fails-setup.exe"), {L"/qn"}, options);

        EXPECT_EQ(result.exitCode, 1603u) << result.err;
        std::smatch created;
        ASSERT_TRUE(
            std::regex_search(result.err, created, std::regex(R"(Created \[.*\\(-?[0-9]+)\.tmp\\\] directory)")))
            << result.err;
        const int32_t used = std::stoi(created[1].str());
        if (used >= first && used < first + span) {
            EXPECT_EQ((used - first) % 31, 30) << used - first;
            break;
        }
        ASSERT_LT(round, 4) << "planting took " << plantedBy - started << " ticks; the names began "
                            << first - started << " ticks ahead and the launcher's tick was " << used - first;
    }
    for (const std::wstring& dir : planted) {
        EXPECT_TRUE(krtest::listDir(dir).empty()) << krtest::utf8(dir);
    }
    for (const auto& [base, count] : rounds) {
        EXPECT_EQ(krtest::listDir(base).size(), count) << krtest::utf8(base);
    }
}

class LauncherFailure : public LauncherRun {};

TEST_F(LauncherFailure, MissingPackageShowsOneBoxAndExitsWithMinusOne) {
    const krtest::RunResult result = launch(L"kr-nomsi-setup.exe", {L"/qn"});
    EXPECT_EQ(result.exitCode, kLauncherFailed);
    ASSERT_EQ(result.dialogs.size(), 1u);
    EXPECT_EQ(result.dialogs[0].caption, L"kr-nomsi-setup.exe");
    const std::wstring expected = L"cannot find resource (name='msi', type='#10'). System error [1814](system error 1814 (";
    EXPECT_EQ(result.dialogs[0].text.rfind(expected, 0), 0u) << krtest::utf8(result.dialogs[0].text);
    EXPECT_EQ(result.err, krtest::utf8(result.dialogs[0].text) + "\r\n");
    EXPECT_TRUE(leftovers().empty());
}

TEST_F(LauncherFailure, MalformedProductCodesAreShownAsTheParserSawThem) {
    const std::wstring code = KR_SAMPLE_PRODUCT_CODE;
    const struct {
        const wchar_t* launcher;
        std::wstring text;
    } cases[] = {
        {L"kr-newline-setup.exe", code + L"\n"},
        {L"kr-onebrace-setup.exe", code.substr(0, 37)},
        {L"kr-emptycode-setup.exe", L""},
    };
    for (const auto& c : cases) {
        const krtest::RunResult result = launch(c.launcher, {L"uninstall"});
        EXPECT_EQ(result.exitCode, kLauncherFailed) << krtest::utf8(c.launcher);
        ASSERT_EQ(result.dialogs.size(), 1u) << krtest::utf8(c.launcher);
        EXPECT_EQ(result.dialogs[0].caption, c.launcher);
        EXPECT_EQ(result.dialogs[0].text, L"IIDFromString(" + c.text + L") failed");
    }
}

} // namespace
