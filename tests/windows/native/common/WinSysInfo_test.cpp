// Tests of SysInfo: command lines split in a real child, long module paths, environment values, system paths.
#include "WinSysInfo.h"

#include "FileUtils.h"
#include "WinErrorHandling.h"
#include "Raised.h"
#include "krtest.h"

#include <gtest/gtest.h>
#include <shellapi.h>

#include <memory>
#include <sstream>
#include <stdexcept>

namespace {

krtest::RunOptions probeOptions() {
    krtest::RunOptions options;
    options.timeoutMs = 60000;
    return options;
}

struct ArgsReport {
    std::vector<std::wstring> exclude;
    std::vector<std::wstring> include;
    std::wstring text;
};

// The probe's "args" report: an "exclude:<element>" or "include:<element>" line per element, then
// "text:<argument text>".
ArgsReport parseArgsReport(const std::string& out) {
    ArgsReport report;
    std::istringstream stream(out);
    for (std::string line; std::getline(stream, line);) {
        const size_t colon = line.find(':');
        const std::string kind = line.substr(0, colon);
        const std::wstring value = krtest::wide(line.substr(colon + 1));
        if (kind == "text") {
            report.text = value;
        } else {
            (kind == "exclude" ? report.exclude : report.include).push_back(value);
        }
    }
    return report;
}

std::vector<std::wstring> splitLikeTheSystem(const std::wstring& commandLine) {
    int count = 0;
    const std::unique_ptr<wchar_t*, decltype(&LocalFree)> args(CommandLineToArgvW(commandLine.c_str(), &count),
                                                               &LocalFree);
    return std::vector<std::wstring>(args.get(), args.get() + count);
}

// Nested directories under `base`, created through the \\?\ form, until the path is longer than
// `minimumLength`; removed at the end with the files copied into the innermost one.
class DeepDirectory {
public:
    DeepDirectory(const std::wstring& base, size_t minimumLength) {
        std::wstring path = base;
        while (path.size() <= minimumLength) {
            path += L"\\" + std::wstring(60, L'd') + std::to_wstring(levels_.size());
            if (!CreateDirectoryW((L"\\\\?\\" + path).c_str(), nullptr)) {
                throw std::runtime_error("CreateDirectoryW failed for a deep directory");
            }
            levels_.push_back(path);
        }
    }
    ~DeepDirectory() {
        const LastErrorPreserver preserver;
        for (const std::wstring& file : files_) {
            DeleteFileW((L"\\\\?\\" + file).c_str());
        }
        for (auto level = levels_.rbegin(); level != levels_.rend(); ++level) {
            RemoveDirectoryW((L"\\\\?\\" + *level).c_str());
        }
    }
    DeepDirectory(const DeepDirectory&) = delete;
    DeepDirectory& operator=(const DeepDirectory&) = delete;

    std::wstring copyIn(const std::wstring& source) {
        const std::wstring target = levels_.back() + L"\\" + FileUtils::basename(source);
        if (!CopyFileW(source.c_str(), (L"\\\\?\\" + target).c_str(), FALSE)) {
            throw std::runtime_error("CopyFileW failed into a deep directory");
        }
        files_.push_back(target);
        return target;
    }

private:
    std::vector<std::wstring> levels_;
    std::vector<std::wstring> files_;
};

class LoadedLibrary {
public:
    explicit LoadedLibrary(const std::wstring& path) : module(LoadLibraryW(path.c_str())) {}
    ~LoadedLibrary() {
        const LastErrorPreserver preserver;
        if (module) {
            FreeLibrary(module);
        }
    }
    LoadedLibrary(const LoadedLibrary&) = delete;
    LoadedLibrary& operator=(const LoadedLibrary&) = delete;

    const HMODULE module;
};

template <class Function> Function exported(HMODULE module, const char* name) {
    return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(GetProcAddress(module, name)));
}

} // namespace

TEST(CommandArgs, ChildGetsTheSystemSplitInBothModes) {
    const std::wstring probe = krtest::binPath(L"kr-frame-probe.exe");
    const std::wstring line =
        krtest::quoteArgument(probe) + L" args \"two words\" \"\" uninstall \"say \\\"hi\\\"\" c:\\dir\\\\ a\"b c\"d";
    const krtest::RunResult result = krtest::runCommandLine(probe, line, probeOptions());
    ASSERT_FALSE(result.timedOut);
    ASSERT_EQ(result.exitCode, 0u) << result.err;

    const std::vector<std::wstring> expected = splitLikeTheSystem(line);
    const ArgsReport report = parseArgsReport(result.out);
    EXPECT_EQ(report.include, expected);
    EXPECT_EQ(report.exclude, std::vector<std::wstring>(expected.begin() + 1, expected.end()));
    const std::vector<std::wstring> plain{L"args", L"two words", L"", L"uninstall", L"say \"hi\""};
    ASSERT_GE(report.exclude.size(), plain.size());
    EXPECT_EQ(std::vector<std::wstring>(report.exclude.begin(), report.exclude.begin() + 5), plain);
    EXPECT_EQ(report.include.front(), probe);
}

TEST(CommandArgs, ProgramPathAloneGivesNoArgumentsOrOnlyItself) {
    const std::wstring probe = krtest::binPath(L"kr-frame-probe.exe");
    const krtest::RunResult result = krtest::runCommandLine(probe, krtest::quoteArgument(probe), probeOptions());
    ASSERT_FALSE(result.timedOut);
    const ArgsReport report = parseArgsReport(result.out);
    EXPECT_TRUE(report.exclude.empty());
    EXPECT_EQ(report.include, std::vector<std::wstring>{probe});
}

TEST(CommandArgs, ArgumentTextIsTheLineAfterTheProgramNameAsTyped) {
    // A copy under the temporary path, which has no blanks: an unquoted name that only begins with the probe's
    // path must split before the mode, wherever the build tree lies.
    const krtest::ScratchDir dir;
    const std::wstring probe = dir.file(L"kr-frame-probe.exe");
    ASSERT_TRUE(CopyFileW(krtest::binPath(L"kr-frame-probe.exe").c_str(), probe.c_str(), TRUE));
    ASSERT_EQ(probe.find(L' '), std::wstring::npos) << krtest::utf8(probe);
    const std::wstring typed = L"args  INSTALLDIR=\"C:\\Some Dir\\\" \"two  words\"\tx\\\"y ";
    std::wstring ownPath = probe;
    CharLowerW(ownPath.data());
    // What follows the first blanks of `line`: where the system's split ends an unquoted name.
    const auto afterFirstBlanks = [](const std::wstring& line) {
        return line.substr(line.find_first_not_of(L" \t", line.find_first_of(L" \t")));
    };
    const std::wstring longerName = probe + L"x " + typed;
    // A quoted name ends at its closing quote, an unquoted one at the first blank, and the program's own path
    // unquoted, in any case, at its end when a blank follows; the blanks after it go.
    const std::pair<std::wstring, std::wstring> cases[] = {
        {krtest::quoteArgument(probe) + L" \t " + typed, typed},
        {L"probe " + typed, typed},
        {L"\"pro be\"" + typed, typed},
        {ownPath + L"\t" + typed, typed},
        {longerName, afterFirstBlanks(longerName)},
    };
    for (const auto& [line, text] : cases) {
        const krtest::RunResult result = krtest::runCommandLine(probe, line, probeOptions());
        ASSERT_EQ(result.exitCode, 0u) << result.err;
        EXPECT_EQ(parseArgsReport(result.out).text, text) << krtest::utf8(line);
    }
}

TEST(ModulePath, ExecutableQueriesNameTheRunningProgram) {
    const std::wstring self = krtest::binPath(L"test_WinSysInfo.exe");
    EXPECT_EQ(SysInfo::getCurrentModuleHandle(), GetModuleHandleW(nullptr));
    EXPECT_EQ(SysInfo::getCurrentModulePath(), self);
    EXPECT_EQ(SysInfo::getProcessModulePath(), self);

    // Started by a relative name from its own directory, the probe still reports its absolute path.
    krtest::RunOptions options = probeOptions();
    options.currentDirectory = krtest::binDir();
    const krtest::RunResult result =
        krtest::runCommandLine(krtest::binPath(L"kr-frame-probe.exe"), L"kr-frame-probe.exe paths", options);
    ASSERT_FALSE(result.timedOut);
    const std::string probe = krtest::utf8(krtest::binPath(L"kr-frame-probe.exe"));
    EXPECT_EQ(result.out, probe + "\n" + probe + "\n");
}

// Windows starts no program from a path this long, but loads a DLL from one: the DLL asks for its own path.
TEST(ModulePath, PathsBeyondTheFirstBufferAreReadWhole) {
    for (const size_t minimumLength : {300u, 600u}) {
        krtest::ScratchDir scratch;
        DeepDirectory deep(scratch.path(), minimumLength);
        const std::wstring dll = deep.copyIn(krtest::binPath(L"kr-frame-module.dll"));
        const LoadedLibrary library(dll);
        ASSERT_NE(library.module, nullptr) << "LoadLibraryW failed: " << GetLastError();

        const auto modulePath = exported<size_t (*)(wchar_t*, size_t)>(library.module, "krFrameModulePath");
        const auto moduleHandle = exported<HMODULE (*)()>(library.module, "krFrameModuleHandle");
        ASSERT_NE(modulePath, nullptr);
        ASSERT_NE(moduleHandle, nullptr);
        std::wstring buffer(2048, L'\0');
        const size_t length = modulePath(buffer.data(), buffer.size());
        EXPECT_GT(length, minimumLength);
        EXPECT_EQ(length, dll.size());
        EXPECT_EQ(std::wstring(buffer.c_str()), dll);
        EXPECT_EQ(moduleHandle(), library.module);
    }
}

TEST(EnvVariable, ValuesAreReadWholeWhateverTheirLength) {
    const std::wstring name = L"KR_SYSINFO_VALUE";
    for (const std::wstring& value :
         {std::wstring(L"123456789"), std::wstring(L"1234567890"),
          std::wstring(L"C:\\Users\\J\u00fcrgen\\\u6587\u4ef6"), std::wstring(5000, L'v')}) {
        const krtest::EnvVariableScope scope(name, value);
        EXPECT_EQ(SysInfo::getEnvVariable(name, L"default"), value) << value.size();
        EXPECT_EQ(SysInfo::getEnvVariable(name), value) << value.size();
    }
}

TEST(EnvVariable, EmptyValueIsAValueAndOnlyAnUnsetOneGivesTheDefault) {
    const std::wstring name = L"KR_SYSINFO_EMPTY";
    {
        const krtest::EnvVariableScope empty(name, L"");
        EXPECT_EQ(SysInfo::getEnvVariable(name, L"default"), L"");
        EXPECT_EQ(SysInfo::getEnvVariable(name), L"");
    }
    const krtest::EnvVariableScope unset(name);
    EXPECT_EQ(SysInfo::getEnvVariable(name, L"default"), L"default");
    EXPECT_EQ(SysInfo::getEnvVariable(name, L""), L"");
}

TEST(EnvVariable, RaisingFormReportsAnUnsetVariableWithItsNameAndPlace) {
    const krtest::EnvVariableScope unset(L"KR_SYSINFO_UNSET");
    try {
        SysInfo::getEnvVariable(L"KR_SYSINFO_UNSET");
        FAIL() << "no error for an unset variable";
    } catch (const KrError<SysError>& error) {
        const std::string bare = error.bareMessage();
        EXPECT_EQ(bare.rfind("GetEnvironmentVariable(KR_SYSINFO_UNSET) failed. Variable not set. System error "
                             "[203](system error 203 (",
                             0),
                  0u)
            << bare;
        const std::string what = error.what();
        EXPECT_EQ(what.rfind("WinSysInfo.cpp(", 0), 0u) << what;
        EXPECT_NE(what.find(") at SysInfo::`anonymous-namespace'::getEnvVariableImpl(): " + bare), std::string::npos)
            << what;
    }
}

TEST(SystemDir, MsiexecIsTheSystemDirectoryOneBackslashAndItsName) {
    wchar_t buffer[MAX_PATH] = {};
    ASSERT_NE(GetSystemDirectoryW(buffer, MAX_PATH), 0u);
    const std::wstring systemDir = SysInfo::getSystemDir();
    EXPECT_EQ(systemDir, FileUtils::removeTrailingSlash(buffer));
    ASSERT_FALSE(systemDir.empty());
    EXPECT_NE(systemDir.back(), L'\\');
    EXPECT_TRUE(FileUtils::isDirectory(systemDir));

    const std::wstring msiexec = SysInfo::getMsiexecPath();
    EXPECT_EQ(msiexec, systemDir + L"\\msiexec.exe");
    EXPECT_TRUE(FileUtils::isFileExists(msiexec)) << krtest::utf8(msiexec);
}

TEST(TempDir, IsTheSystemTemporaryPathWithoutTrailingSeparators) {
    // GetTempPath2W where the system has it: for SYSTEM it differs from GetTempPathW.
    using TempPathFunction = DWORD(WINAPI*)(DWORD, LPWSTR);
    const auto tempPath2 = reinterpret_cast<TempPathFunction>(
        reinterpret_cast<void (*)()>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "GetTempPath2W")));
    wchar_t buffer[MAX_PATH + 1] = {};
    ASSERT_NE((tempPath2 ? tempPath2 : GetTempPathW)(MAX_PATH + 1, buffer), 0u);
    const std::wstring system = buffer;
    ASSERT_EQ(system.back(), L'\\');
    EXPECT_EQ(SysInfo::getTempDir(), system.substr(0, system.size() - 1));

    const krtest::EnvVariableScope tmp(L"TMP", L"C:\\kr temp\\J\u00fcrgen\\\\");
    EXPECT_EQ(SysInfo::getTempDir(), L"C:\\kr temp\\J\u00fcrgen");
}

TEST(TempDir, IsEmptyWhenTheSystemReportsNone) {
    // GetTempPathW tries TMP, TEMP and USERPROFILE in turn; a value longer than a path makes it fail.
    const std::wstring tooLong = L"C:\\" + std::wstring(300, L't');
    const krtest::EnvVariableScope tmp(L"TMP", tooLong);
    const krtest::EnvVariableScope temp(L"TEMP", tooLong);
    const krtest::EnvVariableScope profile(L"USERPROFILE", tooLong);
    wchar_t buffer[MAX_PATH + 1] = {};
    if (GetTempPathW(MAX_PATH + 1, buffer) != 0) {
        GTEST_SKIP() << "this system still reports a temporary path: " << krtest::utf8(buffer);
    }
    EXPECT_EQ(SysInfo::getTempDir(), L"");
}

TEST(SystemLibrary, ResolvesFunctionsOfASystemLibrary) {
    const SysInfo::SystemLibrary library(L"version.dll");
    using Function = DWORD(WINAPI*)(LPCWSTR, LPDWORD);
    const auto function = library.function<Function>("GetFileVersionInfoSizeW");
    DWORD ignored = 0;
    EXPECT_GT(function((SysInfo::getSystemDir() + L"\\kernel32.dll").c_str(), &ignored), 0u);

    const std::string bare = krtest::raisedBy([&] { library.function<FARPROC>("NoSuchFunction"); }).bare;
    EXPECT_EQ(bare.rfind("Cannot find NoSuchFunction in version.dll. System error [127]", 0), 0u) << bare;
}

TEST(SystemLibrary, NeverTakesALibraryFromBesideTheProgram) {
    // Any image loads as a library; this one sits where the ordinary search looks first.
    const std::wstring beside = krtest::binPath(L"kr-only-beside.dll");
    ASSERT_TRUE(CopyFileW(krtest::binPath(L"kr-echo.exe").c_str(), beside.c_str(), FALSE));
    const HMODULE found = LoadLibraryW(L"kr-only-beside.dll");
    EXPECT_NE(found, nullptr);
    FreeLibrary(found);

    const std::string bare = krtest::raisedBy([] { SysInfo::SystemLibrary(L"kr-only-beside.dll"); }).bare;
    EXPECT_EQ(bare.rfind("Cannot load kr-only-beside.dll from the system directory. System error [126]", 0), 0u)
        << bare;
    DeleteFileW(beside.c_str());
}
