// Fault tests of the launcher: odd environments and hostile input, each with its documented answer and nothing left behind.
#include "krfaults.h"
#include "krpackages.h"
#include "krtest.h"

#include <windows.h>
#include <msi.h>
#include <tlhelp32.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <sstream>

namespace {

const uint32_t kLauncherFailed = 0xFFFFFFFF;
const DWORD kGateWaitMs = 60000;

// Accented letters, CJK and one character outside the BMP (a surrogate pair in UTF-16).
const std::wstring kNonAscii = L"Gr\u00fc\u00dfe-\u65e5\u672c\u8a9e-\U0001D11E";

std::wstring msiexecPath() {
    wchar_t buffer[MAX_PATH] = {};
    const UINT length = GetSystemDirectoryW(buffer, MAX_PATH);
    return std::wstring(buffer, length) + L"\\msiexec.exe";
}

bool runningUnderWine() { return GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr; }

// The system's description of `code` as the launcher shows it: one line, without the final period.
std::wstring systemErrorText(DWORD code) {
    wchar_t* buffer = nullptr;
    const DWORD length = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                            FORMAT_MESSAGE_IGNORE_INSERTS,
                                        nullptr, code, 0, reinterpret_cast<LPWSTR>(&buffer), 0, nullptr);
    std::wstring text(buffer ? buffer : L"", length);
    LocalFree(buffer);
    std::replace_if(text.begin(), text.end(), [](wchar_t c) { return c < L' '; }, L' ');
    while (text.size() > 1 && (text.back() == L' ' || text.back() == L'.')) {
        text.pop_back();
    }
    return text;
}

bool startsWith(const std::string& text, const std::string& prefix) { return text.compare(0, prefix.size(), prefix) == 0; }

bool endsWith(const std::string& text, const std::string& suffix) {
    return text.size() >= suffix.size() && text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

// What a launcher run with KESTREL_DEBUG=true wrote: one record per "[LEVEL] file:line: message", where a
// message may go on over further lines. Parsed by hand: records can be longer than a regular expression
// engine's recursion copes with.
class Trace {
public:
    explicit Trace(const std::string& err) {
        std::istringstream lines(err);
        std::string line;
        while (std::getline(lines, line)) {
            if (!line.empty() && line.back() == '\r') {
                line.pop_back();
            }
            const size_t levelEnd = line.find("] ");
            const size_t messageStart = levelEnd == std::string::npos ? levelEnd : line.find(": ", levelEnd);
            const std::string level = levelEnd == std::string::npos ? std::string() : line.substr(1, levelEnd - 1);
            const bool isRecord = startsWith(line, "[") && messageStart != std::string::npos &&
                                  (level == "TRACE" || level == "INFO" || level == "WARNING" || level == "ERROR");
            if (isRecord) {
                records_.push_back({level, line.substr(messageStart + 2)});
            } else if (!records_.empty()) {
                records_.back().second += "\n" + line;
            }
        }
    }

    std::vector<std::string> messages(const std::string& level) const {
        std::vector<std::string> found;
        for (const auto& [recordLevel, message] : records_) {
            if (recordLevel == level) {
                found.push_back(message);
            }
        }
        return found;
    }

    bool has(const std::string& level, const std::string& message) const {
        const std::vector<std::string> found = messages(level);
        return std::find(found.begin(), found.end(), message) != found.end();
    }

    // The directories the launcher created (its working directory), without the trailing backslash.
    std::vector<std::string> createdDirectories() const {
        const std::string start = "Created [";
        const std::string end = "\\] directory";
        std::vector<std::string> dirs;
        for (const std::string& message : messages("TRACE")) {
            if (startsWith(message, start) && endsWith(message, end)) {
                dirs.push_back(message.substr(start.size(), message.size() - start.size() - end.size()));
            }
        }
        return dirs;
    }

    // The installer's command line as the launcher handed it to the system.
    std::optional<std::string> installerCommandLine() const {
        const std::string start = "CreateProcess(" + krtest::utf8(msiexecPath()) + ", ";
        const std::string end = ") succeeded; PID=";
        for (const std::string& message : messages("TRACE")) {
            const size_t endAt = message.rfind(end);
            if (startsWith(message, start) && endAt != std::string::npos) {
                return message.substr(start.size(), endAt - start.size());
            }
        }
        return std::nullopt;
    }

    std::optional<uint32_t> installerExitCode() const {
        const std::string marker = " terminated. Exit code=";
        for (const std::string& message : messages("TRACE")) {
            const size_t at = message.find(marker);
            if (startsWith(message, "Process with PID=") && at != std::string::npos) {
                return static_cast<uint32_t>(std::stoul(message.substr(at + marker.size())));
            }
        }
        return std::nullopt;
    }

private:
    std::vector<std::pair<std::string, std::string>> records_;
};

std::vector<std::wstring> subdirectories(const std::wstring& dir) {
    std::vector<std::wstring> found;
    for (const std::wstring& name : krtest::listDir(dir)) {
        if (GetFileAttributesW((dir + L"\\" + name).c_str()) & FILE_ATTRIBUTE_DIRECTORY) {
            found.push_back(name);
        }
    }
    return found;
}

std::string joined(const std::vector<std::wstring>& names) {
    std::string text;
    for (const std::wstring& name : names) {
        text += (text.empty() ? "" : ", ") + krtest::utf8(name);
    }
    return text;
}

// Owns one Windows handle.
class Owned {
public:
    explicit Owned(HANDLE handle = nullptr) : handle_(handle) {}
    ~Owned() {
        if (handle_ && handle_ != INVALID_HANDLE_VALUE) {
            CloseHandle(handle_);
        }
    }
    Owned(const Owned&) = delete;
    Owned& operator=(const Owned&) = delete;
    HANDLE get() const { return handle_; }

private:
    HANDLE handle_;
};

// The events of one kr-gate run: kr-gate.msi runs the gate before anything else, the gate sets "ready" and
// holds the installer until "go". However the test ends, the installer is let go.
class Gate {
public:
    Gate()
        : name_(L"kr-gate-" + std::to_wstring(GetCurrentProcessId()) + L"-" + std::to_wstring(++count_)),
          ready_(CreateEventW(nullptr, TRUE, FALSE, (name_ + L".ready").c_str())),
          go_(CreateEventW(nullptr, TRUE, FALSE, (name_ + L".go").c_str())) {}
    ~Gate() { open(); }
    Gate(const Gate&) = delete;
    Gate& operator=(const Gate&) = delete;

    // What the launcher passes on to the installer so that it runs this gate.
    std::vector<std::wstring> properties() const {
        return {L"KR_GATE=" + krtest::binPath(L"kr-gate.exe"), L"KR_GATE_NAME=" + name_};
    }

    // True once the installer stands at the gate; false when the launcher ended first or nothing came.
    bool reached(HANDLE launcher) const {
        const HANDLE handles[] = {ready_.get(), launcher};
        return WaitForMultipleObjects(2, handles, FALSE, kGateWaitMs) == WAIT_OBJECT_0;
    }

    void open() const { SetEvent(go_.get()); }

private:
    static inline unsigned count_ = 0;
    std::wstring name_;
    Owned ready_;
    Owned go_;
};

struct ProcessEntry {
    DWORD id;
    std::wstring exeFile;
};

std::vector<ProcessEntry> childProcesses(DWORD parentId) {
    std::vector<ProcessEntry> children;
    const Owned snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof(entry);
    for (BOOL found = Process32FirstW(snapshot.get(), &entry); found; found = Process32NextW(snapshot.get(), &entry)) {
        if (entry.th32ParentProcessID == parentId) {
            children.push_back({entry.th32ProcessID, entry.szExeFile});
        }
    }
    return children;
}

// Creates `path` and its missing parents; long paths go through the extended-length form.
void createDirectories(const std::wstring& path) {
    for (size_t separator = path.find(L'\\', 3); ; separator = path.find(L'\\', separator + 1)) {
        const std::wstring prefix = L"\\\\?\\" + path.substr(0, separator);
        CreateDirectoryW(prefix.c_str(), nullptr);
        if (separator == std::wstring::npos) {
            break;
        }
    }
    ASSERT_TRUE(krtest::exists(L"\\\\?\\" + path)) << krtest::utf8(path);
}

// Runs launchers with their own temporary path and current directory, so whatever they leave is seen.
class FaultRun : public ::testing::Test {
protected:
    krtest::RunOptions options(bool debug, const std::wstring& tempPath = std::wstring()) const {
        krtest::RunOptions result;
        const std::wstring temp = tempPath.empty() ? temp_.path() : tempPath;
        result.setEnv.push_back({L"TMP", temp});
        result.setEnv.push_back({L"TEMP", temp});
        if (debug) {
            result.setEnv.push_back({L"KESTREL_DEBUG", L"true"});
        } else {
            result.unsetEnv.push_back(L"KESTREL_DEBUG");
        }
        result.currentDirectory = work_.path();
        return result;
    }

    krtest::RunResult launch(const std::wstring& launcher, const std::vector<std::wstring>& args, bool debug,
                             const std::wstring& tempPath = std::wstring()) const {
        return krtest::run(launcher, args, options(debug, tempPath));
    }

    // The installer ran: its exit code, as the trace records it, is the launcher's, and no box came up.
    static void expectInstallerAnswer(const krtest::RunResult& result) {
        const Trace trace(result.err);
        ASSERT_TRUE(trace.installerExitCode().has_value()) << result.err;
        EXPECT_EQ(result.exitCode, *trace.installerExitCode());
        EXPECT_TRUE(result.dialogs.empty()) << krtest::utf8(result.dialogs.front().text);
        EXPECT_FALSE(result.timedOut);
    }

    // The launcher failed: one box with `text` under the launcher's file name, the same line on standard
    // error and -1.
    static void expectLauncherFailure(const krtest::RunResult& result, const std::wstring& caption,
                                      const std::wstring& text) {
        EXPECT_EQ(result.exitCode, kLauncherFailed);
        ASSERT_EQ(result.dialogs.size(), 1u) << result.err.substr(0, 500);
        EXPECT_EQ(result.dialogs[0].caption, caption);
        EXPECT_TRUE(result.dialogs[0].text == text) << krtest::utf8(result.dialogs[0].text.substr(0, 500));
        EXPECT_TRUE(result.err == krtest::utf8(text) + "\r\n") << result.err.substr(0, 500);
    }

    // Nothing of the launcher's is left in its temporary path or its current directory.
    void expectNothingLeft(const std::wstring& tempPath = std::wstring()) const {
        const std::wstring temp = tempPath.empty() ? temp_.path() : tempPath;
        EXPECT_TRUE(krtest::listDir(L"\\\\?\\" + temp).empty()) << joined(krtest::listDir(L"\\\\?\\" + temp));
        EXPECT_TRUE(krtest::listDir(work_.path()).empty()) << joined(krtest::listDir(work_.path()));
    }

    krtest::ScratchDir temp_;
    krtest::ScratchDir work_;
};

TEST_F(FaultRun, DiskFullWhileThePackageIsWrittenGivesTheSystemsReasonAndLeavesNothing) {
    const std::wstring statusFile = krtest::binDir() + L"\\" + KR_SMALL_DISK_STATUS_FROM_BIN;
    std::string status = krtest::exists(statusFile) ? krtest::readFile(statusFile) : "not set up: run through ctest";
    status.erase(status.find_last_not_of("\r\n") + 1);
    if (status != "mounted") {
        GTEST_SKIP() << "no small disk: " << status;
    }
    const std::wstring disk = std::wstring(KR_SMALL_DISK_DRIVE) + L"\\";
    ULARGE_INTEGER diskSize{};
    ASSERT_TRUE(GetDiskFreeSpaceExW(disk.c_str(), nullptr, &diskSize, nullptr));
    const size_t packageSize = krtest::readFile(krtest::binDir() + L"\\" + KR_BULKY_MSI_FROM_BIN).size();
    ASSERT_GT(packageSize, diskSize.QuadPart) << "the package would fit on the small disk";
    ASSERT_TRUE(krtest::listDir(disk).empty()) << joined(krtest::listDir(disk));

    const krtest::RunResult result = launch(krtest::binPath(L"kr-bulky-setup.exe"), {L"/qn"}, false, disk);
    // The failed call on the temporary file beside main.msi, with the system's code and text for a full disk.
    ASSERT_EQ(result.dialogs.size(), 1u) << result.err.substr(0, 500);
    const std::wstring& text = result.dialogs[0].text;
    const std::wstring reason =
        L") failed. System error [112](system error 112 (" + systemErrorText(ERROR_DISK_FULL) + L"))";
    EXPECT_EQ(text.rfind(L"WriteFile(" + disk, 0), 0u) << krtest::utf8(text);
    EXPECT_TRUE(text.size() > reason.size() && text.compare(text.size() - reason.size(), reason.size(), reason) == 0)
        << krtest::utf8(text);
    expectLauncherFailure(result, L"kr-bulky-setup.exe", text);
    EXPECT_TRUE(krtest::listDir(disk).empty()) << joined(krtest::listDir(disk));
    expectNothingLeft();
}

TEST_F(FaultRun, TempPathToAMissingDirectoryOrAFileGivesTheTemporaryFileErrorAndCreatesNothing) {
    const std::wstring file = temp_.file(L"not a directory.txt");
    krtest::writeFile(file, "content");
    for (const std::wstring& base : {temp_.file(L"missing"), temp_.file(L"missing\\deeper"), file}) {
        SCOPED_TRACE(krtest::utf8(base));
        const krtest::RunResult result = launch(krtest::binPath(L"kr-sample-setup.exe"), {L"/qn"}, false, base);
        expectLauncherFailure(result, L"kr-sample-setup.exe", L"createTempFile(, .tmp, " + base + L") failed");
        EXPECT_EQ(krtest::listDir(temp_.path()), std::vector<std::wstring>{L"not a directory.txt"});
        EXPECT_EQ(krtest::readFile(file), "content");
        EXPECT_TRUE(krtest::listDir(work_.path()).empty()) << joined(krtest::listDir(work_.path()));
    }
}

bool sampleInstalled() { return MsiQueryProductStateW(KR_SAMPLE_PRODUCT_CODE) == INSTALLSTATE_DEFAULT; }

class InstallingFaultRun : public FaultRun {
protected:
    void SetUp() override { removeSample(); }
    void TearDown() override { removeSample(); }

    static void removeSample() {
        if (sampleInstalled()) {
            krtest::run(msiexecPath(), {L"/x", KR_SAMPLE_PRODUCT_CODE, L"/qn"});
        }
        ASSERT_FALSE(sampleInstalled());
    }
};

TEST_F(InstallingFaultRun, NonAsciiTempPathAndLauncherNameInstallRemoveAndShowTheirCharacters) {
    const std::wstring temp = temp_.file(kNonAscii);
    ASSERT_TRUE(CreateDirectoryW(temp.c_str(), nullptr));
    const std::wstring name = L"setup-" + kNonAscii + L".exe";
    const std::wstring setup = work_.file(name);
    ASSERT_TRUE(CopyFileW(krtest::binPath(L"kr-sample-setup.exe").c_str(), setup.c_str(), FALSE));

    const krtest::RunResult install = krtest::run(setup, {L"/qn"}, options(true, temp));
    expectInstallerAnswer(install);
    EXPECT_EQ(install.exitCode, 0u) << install.err;
    EXPECT_TRUE(sampleInstalled());
    const std::vector<std::string> created = Trace(install.err).createdDirectories();
    ASSERT_EQ(created.size(), 1u) << install.err;
    EXPECT_EQ(created[0].rfind(krtest::utf8(temp) + "\\", 0), 0u) << created[0];
    EXPECT_TRUE(krtest::listDir(temp).empty()) << joined(krtest::listDir(temp));

    const krtest::RunResult removal = krtest::run(setup, {L"uninstall"}, options(false, temp));
    EXPECT_EQ(removal.exitCode, 0u);
    EXPECT_TRUE(removal.dialogs.empty());
    EXPECT_FALSE(sampleInstalled());

    const std::wstring missing = temp + L"\\\u00e9t\u00e9-\u4e2d\u6587-\U0001F985";
    const krtest::RunResult failure = krtest::run(setup, {L"/qn"}, options(false, missing));
    expectLauncherFailure(failure, name, L"createTempFile(, .tmp, " + missing + L") failed");
    EXPECT_TRUE(krtest::listDir(temp).empty()) << joined(krtest::listDir(temp));
}

TEST_F(FaultRun, TempPathsNearAndBeyond260CharactersWorkOrFailWithoutLeftovers) {
    // 240: the package path is beyond 260 characters; 258: the longest temporary path the system hands out;
    // 300: longer than the system hands out, so Wine reports none.
    for (const size_t length : {240u, 258u, 300u}) {
        SCOPED_TRACE(length);
        std::wstring temp = temp_.path();
        while (length - temp.size() > 62) {
            temp += L"\\" + std::wstring(60, L'p');
        }
        temp += L"\\" + std::wstring(length - temp.size() - 1, L'q');
        ASSERT_EQ(temp.size(), length);
        createDirectories(temp);

        // Whether the system hands out this path at all; Windows may fall back to the profile directory.
        bool reported = true;
        {
            const krtest::EnvVariableScope tmp(L"TMP", temp);
            const krtest::EnvVariableScope tempVariable(L"TEMP", temp);
            wchar_t buffer[MAX_PATH + 1] = {};
            reported = GetTempPathW(MAX_PATH + 1, buffer) != 0;
        }
        if (length == 300 && runningUnderWine()) {
            EXPECT_FALSE(reported) << "the refusal is not reached";
        }
        const krtest::RunResult result = launch(krtest::binPath(L"kr-fails-setup.exe"), {L"/qn"}, reported, temp);
        if (!reported) {
            // Nothing goes to the current directory instead.
            expectLauncherFailure(result, L"kr-fails-setup.exe",
                                  L"The system reports no temporary directory; check the TMP and TEMP variables");
        } else if (result.exitCode == kLauncherFailed) {
            EXPECT_EQ(result.dialogs.size(), 1u) << result.err;
        } else {
            expectInstallerAnswer(result);
        }
        if (length == 240) {
            EXPECT_EQ(result.exitCode, 1603u) << "the installer could not read the package\n" << result.err;
        }
        EXPECT_TRUE(krtest::listDir(L"\\\\?\\" + temp).empty()) << joined(krtest::listDir(L"\\\\?\\" + temp));
        EXPECT_TRUE(krtest::listDir(work_.path()).empty()) << joined(krtest::listDir(work_.path()));
    }
}

// A launcher held at kr-gate.msi's gate, with the gate's own properties before `extraArgs`.
class GatedRun : public FaultRun {
protected:
    std::unique_ptr<krtest::StartedProgram> start(const Gate& gate, const std::vector<std::wstring>& extraArgs = {}) {
        std::vector<std::wstring> args = {L"/qn"};
        for (const std::wstring& property : gate.properties()) {
            args.push_back(property);
        }
        args.insert(args.end(), extraArgs.begin(), extraArgs.end());
        auto started =
            std::make_unique<krtest::StartedProgram>(krtest::binPath(L"kr-gate-setup.exe"), args, options(true));
        started->resume();
        return started;
    }

    // The launcher's working directory: the one directory in its temporary path.
    std::wstring workingDirectory() const {
        const std::vector<std::wstring> dirs = subdirectories(temp_.path());
        return dirs.size() == 1 ? temp_.file(dirs[0]) : std::wstring();
    }

    Gate gate_;
};

TEST_F(GatedRun, CleanUpAroundAReadOnlyAndAHeldFileKeepsOnlyTheHeldOneAndSaysSo) {
    const auto launcher = start(gate_);
    ASSERT_TRUE(gate_.reached(launcher->process())) << launcher->finish().err;
    const std::wstring dir = workingDirectory();
    ASSERT_FALSE(dir.empty()) << joined(krtest::listDir(temp_.path()));
    krtest::writeFile(dir + L"\\read-only.txt", "kept from writing");
    ASSERT_TRUE(SetFileAttributesW((dir + L"\\read-only.txt").c_str(), FILE_ATTRIBUTE_READONLY));
    ASSERT_TRUE(CreateDirectoryW((dir + L"\\nested").c_str(), nullptr));
    krtest::writeFile(dir + L"\\nested\\file.txt", "nested");
    const std::wstring held = dir + L"\\held.txt";
    const Owned heldFile(CreateFileW(held.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
    ASSERT_NE(heldFile.get(), INVALID_HANDLE_VALUE);
    gate_.open();

    const krtest::RunResult result = launcher->finish();
    expectInstallerAnswer(result);
    EXPECT_EQ(result.exitCode, 1603u);
    EXPECT_EQ(krtest::listDir(dir), std::vector<std::wstring>{L"held.txt"});
    const Trace trace(result.err);
    const std::string readOnly = krtest::utf8(dir + L"\\read-only.txt");
    EXPECT_TRUE(trace.has("TRACE", "Discarded R/O attribute from [" + readOnly + "] file")) << result.err;
    EXPECT_TRUE(trace.has("TRACE", "Deleted [" + readOnly + "] file")) << result.err;
    const std::vector<std::string> warnings = trace.messages("WARNING");
    ASSERT_EQ(warnings.size(), 1u) << result.err;
    EXPECT_EQ(warnings[0].rfind("Failed to delete [" + krtest::utf8(held) + "] file. System error [32]", 0), 0u)
        << warnings[0];
    EXPECT_TRUE(trace.messages("ERROR").empty()) << result.err;
}

TEST_F(GatedRun, WhileTheInstallerRunsNobodyCanChangeReplaceOrMoveThePackage) {
    const auto launcher = start(gate_);
    ASSERT_TRUE(gate_.reached(launcher->process())) << launcher->finish().err;
    const std::wstring dir = workingDirectory();
    ASSERT_FALSE(dir.empty()) << joined(krtest::listDir(temp_.path()));
    const std::wstring package = dir + L"\\main.msi";
    EXPECT_EQ(krtest::errorOfOpening(package, GENERIC_WRITE), DWORD{ERROR_SHARING_VIOLATION});
    EXPECT_EQ(krtest::errorOfOpening(package, DELETE), DWORD{ERROR_SHARING_VIOLATION});
    EXPECT_EQ(krtest::errorOfOpening(dir, DELETE), DWORD{ERROR_SHARING_VIOLATION});
    EXPECT_FALSE(DeleteFileW(package.c_str()));
    krtest::writeFile(work_.file(L"other.msi"), "not the package");
    EXPECT_FALSE(MoveFileExW(work_.file(L"other.msi").c_str(), package.c_str(), MOVEFILE_REPLACE_EXISTING));
    EXPECT_FALSE(MoveFileExW(dir.c_str(), (dir + L".moved").c_str(), 0));
    EXPECT_EQ(krtest::errorOfOpening(package, GENERIC_READ), DWORD{ERROR_SUCCESS}) << "readers are still welcome";
    gate_.open();

    const krtest::RunResult result = launcher->finish();
    expectInstallerAnswer(result);
    EXPECT_EQ(result.exitCode, 1603u);
    EXPECT_TRUE(subdirectories(temp_.path()).empty()) << joined(krtest::listDir(temp_.path()));
}

TEST_F(GatedRun, KilledInstallerGivesItsExitCodeToTheCallerAndTheWorkingDirectoryGoes) {
    // "Restart initiated", which Wine's installer never answers itself, and a code as a crash leaves it.
    for (const uint32_t killedCode : {1641u, 0xC0DE4B52u}) {
        SCOPED_TRACE(killedCode);
        Gate gate;
        const auto launcher = start(gate);
        ASSERT_TRUE(gate.reached(launcher->process())) << launcher->finish().err;
        ASSERT_FALSE(workingDirectory().empty());
        std::vector<DWORD> installers;
        for (const ProcessEntry& child : childProcesses(launcher->processId())) {
            if (_wcsicmp(child.exeFile.c_str(), L"msiexec.exe") == 0) {
                installers.push_back(child.id);
            }
        }
        ASSERT_EQ(installers.size(), 1u);
        const Owned installer(OpenProcess(PROCESS_TERMINATE, FALSE, installers[0]));
        ASSERT_TRUE(installer.get() && TerminateProcess(installer.get(), killedCode));

        const krtest::RunResult result = launcher->finish();
        expectInstallerAnswer(result);
        EXPECT_EQ(result.exitCode, killedCode);
        // Whatever the killed installer left of its own is not the launcher's to remove.
        EXPECT_TRUE(subdirectories(temp_.path()).empty()) << joined(krtest::listDir(temp_.path()));
    }
}

TEST_F(FaultRun, EightLaunchersStartedTogetherEachGetTheirOwnDirectoryAndAllCleanUp) {
    std::vector<std::unique_ptr<krtest::StartedProgram>> launchers;
    for (int i = 0; i < 8; ++i) {
        launchers.push_back(
            std::make_unique<krtest::StartedProgram>(krtest::binPath(L"kr-fails-setup.exe"),
                                                     std::vector<std::wstring>{L"/qn"}, options(true)));
    }
    // Resumed back to back, they start in the same moment; those that read the same tick take the next free
    // numbers.
    for (const auto& launcher : launchers) {
        launcher->resume();
    }
    std::set<std::string> directories;
    for (const auto& launcher : launchers) {
        const krtest::RunResult result = launcher->finish();
        expectInstallerAnswer(result);
        // Its package refuses to install (1603), unless another installation is in progress (1618).
        EXPECT_TRUE(result.exitCode == 1603 || result.exitCode == 1618) << result.exitCode;
        const std::vector<std::string> created = Trace(result.err).createdDirectories();
        ASSERT_EQ(created.size(), 1u) << result.err;
        directories.insert(created[0]);
    }
    EXPECT_EQ(directories.size(), 8u);
    expectNothingLeft();
}

TEST_F(FaultRun, HostileProductCodesAreRefusedWithTheTextTheParserSaw) {
    const std::wstring sample = KR_SAMPLE_PRODUCT_CODE;
    std::wstring mebibyte;
    for (int i = 0; i < 65536; ++i) {
        mebibyte += L"0123456789ABCDEF";
    }
    const struct {
        const wchar_t* launcher;
        std::wstring parsed;
    } cases[] = {
        {L"kr-onebyte-setup.exe", L"{"},
        {L"kr-mebibyte-setup.exe", mebibyte},
        // Every byte becomes the character of the same value.
        {L"kr-highbytes-setup.exe", sample.substr(0, 33) + L"\u00c3\u00a9\u00ff\u0080}"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(krtest::utf8(c.launcher));
        const krtest::RunResult result = launch(krtest::binPath(c.launcher), {L"uninstall"}, false);
        expectLauncherFailure(result, c.launcher, L"IIDFromString(" + c.parsed + L") failed");
        EXPECT_FALSE(result.timedOut);
    }
    expectNothingLeft();
}

TEST_F(FaultRun, EmptyPackageIsTheInstallersToRefuse) {
    const krtest::RunResult result = launch(krtest::binPath(L"kr-emptymsi-setup.exe"), {L"/qn"}, true);
    expectInstallerAnswer(result);
    EXPECT_NE(result.exitCode, 0u);
    expectNothingLeft();
}

TEST_F(FaultRun, ArgumentsWithQuotesTabsAndLineBreaksReachTheInstallerAsTyped) {
    const std::vector<std::wstring> args = {L"/qn",           L"KR_NOTE=say \"hi\" now", L"a\"b",
                                            L"tab\there",     L"KR_TAB=a\tb",            L"line\nbreak",
                                            L"KR_LINES=one\r\ntwo"};
    const krtest::RunResult result = launch(krtest::binPath(L"kr-fails-setup.exe"), args, true);
    expectInstallerAnswer(result);
    const std::optional<std::string> line = Trace(result.err).installerCommandLine();
    ASSERT_TRUE(line.has_value()) << result.err;
    // The line as the argument list was typed, with a property quoted as a whole put in the installer's form;
    // nothing else is touched. The installer reads the quote in "a\"b" as a quote, so for it the quoting of
    // the tab's property does not stand on its own, and that element stays as it is.
    const std::string expected = " /qn KR_NOTE=\"say \"\"hi\"\" now\" \"a\\\"b\" \"tab\there\" \"KR_TAB=a\tb\" line\nbreak "
                                 "KR_LINES=one\r\ntwo";
    EXPECT_EQ(line->substr(line->find("\\main.msi") + 9), expected);
    expectNothingLeft();
}

TEST_F(FaultRun, CommandLineOf32000CharactersReachesTheInstallerAndOneBeyondTheSystemLimitIsRefused) {
    const std::wstring launcher = krtest::binPath(L"kr-fails-setup.exe");
    // A short program name, whatever the path of the build: the limits below count the launcher's own line.
    const std::wstring start = L"setup.exe /qn KR_NOTE=";

    const std::wstring note(32000 - start.size(), L'n');
    const krtest::RunResult fits = krtest::runCommandLine(launcher, start + note, options(true));
    expectInstallerAnswer(fits);
    EXPECT_EQ(fits.exitCode, 1603u);
    const std::optional<std::string> line = Trace(fits.err).installerCommandLine();
    ASSERT_TRUE(line.has_value());
    EXPECT_TRUE(endsWith(*line, " /qn KR_NOTE=" + krtest::utf8(note))) << "the note did not arrive whole";
    expectNothingLeft();

    // The longest line the system takes (32,767 characters with the terminator): the installer's own line,
    // with the installer's path and the package before the arguments, is longer than that.
    const std::wstring longest = start + std::wstring(32766 - start.size(), L'n');
    const krtest::RunResult refused = krtest::runCommandLine(launcher, longest, options(false));
    EXPECT_EQ(refused.exitCode, kLauncherFailed);
    ASSERT_EQ(refused.dialogs.size(), 1u);
    const std::wstring& text = refused.dialogs[0].text;
    const std::wstring operation = L"CreateProcess(" + msiexecPath() + L", " + msiexecPath() + L" /i ";
    EXPECT_EQ(text.rfind(operation, 0), 0u) << krtest::utf8(text.substr(0, 200));
    EXPECT_NE(text.find(longest.substr(start.size()) + L") failed. System error [206]"), std::wstring::npos)
        << krtest::utf8(text.substr(text.size() - 200));
    EXPECT_TRUE(refused.err == krtest::utf8(text) + "\r\n") << refused.err.substr(0, 200);
    expectNothingLeft();
}

// The installer's side of a run: kr-echo, started by the package as a custom action, reports the installer's
// own command line (as its parent) and the properties as the installer read them.
struct InstallerSide {
    std::string commandLine;
    std::map<std::string, std::string> properties;
};

class ReportingRun : public FaultRun {
protected:
    krtest::RunOptions reporting(krtest::RunOptions options) const {
        options.setEnv.push_back({L"KR_REPORT", krtest::binPath(L"kr-echo.exe")});
        options.setEnv.push_back({L"KR_ECHO_OUT", report_});
        return options;
    }

    InstallerSide installerSide() const {
        if (!krtest::exists(report_)) {
            return {};
        }
        const std::map<std::string, std::string> echo = krtest::readEchoReport(report_);
        DeleteFileW(report_.c_str());
        return {echo.count("parent") ? echo.at("parent") : std::string(), krtest::reportedProperties(echo)};
    }

    krtest::ScratchDir reports_;
    const std::wstring report_ = reports_.file(L"report.txt");
};

TEST_F(ReportingRun, InstallerGetsTheArgumentsAsTypedAndReadsThemAsWhenStartedDirectly) {
    const std::wstring launcher = krtest::binPath(L"kr-gate-setup.exe");
    const std::wstring package = krtest::binDir() + L"\\" + KR_GATE_MSI_FROM_BIN;
    const struct {
        std::wstring typed;
        std::wstring forwarded;
        std::string installDir;
    } cases[] = {
        // A directory ending in a backslash, odd quoting, two blanks: all as typed.
        {L"INSTALLDIR=\"C:\\Some Dir\\\" NOTE=\"a\"b  /qn", L"INSTALLDIR=\"C:\\Some Dir\\\" NOTE=\"a\"b  /qn",
         "C:\\Some Dir\\"},
        // What a program that starts setup.exe from a list of arguments writes, in the installer's form.
        {L"\"INSTALLDIR=C:\\Some Dir\\\\\" \"NOTE=say \\\"hi\\\"\" /qn", L"INSTALLDIR=\"C:\\Some Dir\\\" NOTE=\"say \"\"hi\"\"\" /qn",
         "C:\\Some Dir\\"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(krtest::utf8(c.typed));
        const std::wstring line = krtest::quoteArgument(launcher) + L" " + c.typed;
        const krtest::RunResult result = krtest::runCommandLine(launcher, line, reporting(options(true)));
        EXPECT_EQ(result.exitCode, 1603u) << result.err;
        InstallerSide viaLauncher = installerSide();
        const std::optional<std::string> composed = Trace(result.err).installerCommandLine();
        ASSERT_TRUE(composed.has_value()) << result.err;
        EXPECT_EQ(viaLauncher.commandLine, *composed);
        const std::string tail = " " + krtest::utf8(c.forwarded);
        EXPECT_TRUE(endsWith(viaLauncher.commandLine, "\\main.msi" + tail) ||
                    endsWith(viaLauncher.commandLine, "\\main.msi\"" + tail))
            << viaLauncher.commandLine;
        EXPECT_EQ(viaLauncher.properties["INSTALLDIR"], c.installDir);

        const std::wstring direct =
            krtest::quoteArgument(msiexecPath()) + L" /i " + krtest::quoteArgument(package) + L" " + c.forwarded;
        EXPECT_EQ(krtest::runCommandLine(msiexecPath(), direct, reporting(options(false))).exitCode, 1603u);
        const InstallerSide started = installerSide();
        EXPECT_EQ(viaLauncher.properties, started.properties);
        EXPECT_FALSE(started.properties.empty());
        expectNothingLeft();
    }
}

TEST_F(FaultRun, FailureWhereNobodyCanSeeABoxEndsAtOnceWithItsLineAndNoBox) {
    const krtest::HiddenDesktop hidden;
    ASSERT_TRUE(hidden.ready()) << GetLastError();
    krtest::RunOptions unseen = options(false);
    unseen.desktop = hidden.name();
    unseen.timeoutMs = 20000;
    const krtest::RunResult result = krtest::run(krtest::binPath(L"kr-nomsi-setup.exe"), {L"/qn"}, unseen);
    EXPECT_FALSE(result.timedOut) << "the launcher waited on a box nobody can see";
    EXPECT_EQ(result.exitCode, kLauncherFailed);
    EXPECT_TRUE(result.dialogs.empty());
    const std::string expected = "cannot find resource (name='msi', type='#10'). System error [1814]";
    EXPECT_TRUE(startsWith(result.err, expected) && endsWith(result.err, "\r\n") &&
                std::count(result.err.begin(), result.err.end(), '\n') == 1)
        << result.err;
    expectNothingLeft();

    const krtest::RunResult seen = launch(krtest::binPath(L"kr-nomsi-setup.exe"), {L"/qn"}, false);
    ASSERT_EQ(seen.dialogs.size(), 1u);
    EXPECT_EQ(seen.err, result.err);
    EXPECT_EQ(seen.exitCode, kLauncherFailed);
}

} // namespace
