// Tests of the private working directory (its access list, its creation already held) and of PathHold.
#include "FileUtils.h"

#include "ErrorHandling.h"
#include "FileTestSupport.h"
#include "Log.h"
#include "krtest.h"

#include <gtest/gtest.h>
#include <windows.h>
#include <sddl.h>

#include <algorithm>
#include <cwctype>
#include <string>
#include <vector>

using namespace FileUtils;
using namespace filetest;

namespace {

// The directory's owner and access list in the system's text form, as they were stored at its creation.
std::wstring storedSecurity(const std::wstring& path) {
    const SECURITY_INFORMATION parts = OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION;
    DWORD size = 0;
    GetFileSecurityW(path.c_str(), parts, nullptr, 0, &size);
    std::vector<BYTE> descriptor(size);
    if (!GetFileSecurityW(path.c_str(), parts, descriptor.data(), size, &size)) {
        return L"GetFileSecurityW failed " + std::to_wstring(GetLastError());
    }
    wchar_t* text = nullptr;
    ConvertSecurityDescriptorToStringSecurityDescriptorW(descriptor.data(), SDDL_REVISION_1, parts, &text, nullptr);
    const std::wstring sddl = text ? text : L"";
    LocalFree(text);
    return sddl;
}

std::wstring tokenSid(TOKEN_INFORMATION_CLASS kind) {
    HANDLE token = nullptr;
    OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token);
    BYTE buffer[256];
    DWORD size = 0;
    GetTokenInformation(token, kind, buffer, sizeof(buffer), &size);
    CloseHandle(token);
    wchar_t* text = nullptr;
    ConvertSidToStringSidW(kind == TokenUser ? reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid
                                             : reinterpret_cast<TOKEN_OWNER*>(buffer)->Owner,
                           &text);
    const std::wstring sid = text;
    LocalFree(text);
    return sid;
}

bool tokenIsElevated() {
    HANDLE token = nullptr;
    OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token);
    TOKEN_ELEVATION elevation{};
    DWORD size = 0;
    GetTokenInformation(token, TokenElevation, &elevation, sizeof(elevation), &size);
    CloseHandle(token);
    return elevation.TokenIsElevated != 0;
}

TEST(CreateTempDirectory, IsPrivateToSystemTheAdministratorsAndAnUnelevatedUser) {
    const std::wstring sddl = privateDirectorySddl();
    // Protected (nothing inherited from a shared temporary path), full control for these principals only. An
    // elevated process's directory is the Administrators' alone: the same user's unelevated programs get no
    // entry, and not being its owner they cannot change the list either.
    const std::wstring user = tokenSid(TokenUser);
    if (tokenIsElevated() || user == L"S-1-5-18") {
        EXPECT_EQ(sddl, L"O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)");
    } else {
        EXPECT_EQ(sddl, L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;FA;;;" + user + L")");
    }
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1, &descriptor,
                                                                     nullptr));
    EXPECT_TRUE(IsValidSecurityDescriptor(descriptor));
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    GetSecurityDescriptorControl(descriptor, &control, &revision);
    EXPECT_TRUE(control & SE_DACL_PROTECTED);
    LocalFree(descriptor);
    // Wine keeps no access list on files and reports a default one, so what the directory got is seen only on
    // Windows.
    krtest::ScratchDir dir;
    const std::wstring made = createTempDirectory(L"", L".tmp", dir.path());
    if (!GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version")) {
        const std::wstring stored = storedSecurity(made);
        const size_t list = stored.find(L"D:");
        EXPECT_EQ(stored.substr(stored.find(L'(')), sddl.substr(sddl.find(L'(')));
        EXPECT_EQ(stored.compare(list, 3, L"D:P"), 0) << krtest::utf8(stored);
        if (sddl.rfind(L"O:BA", 0) == 0) {
            EXPECT_EQ(stored.rfind(L"O:BA", 0), 0u) << krtest::utf8(stored);
        }
    }
}

// Plants a directory, with a file in it, under the name of the first placeholder deleted in the watched
// directory, at the moment the deletion is recorded: between the placeholder's end and the directory's creation.
class DirectoryPlanter : public LogAppender {
public:
    explicit DirectoryPlanter(const std::wstring& baseDir)
        : baseDir_(baseDir), previous_(Logger::global().setAppender(this)) {}
    ~DirectoryPlanter() override { Logger::global().setAppender(previous_); }
    DirectoryPlanter(const DirectoryPlanter&) = delete;
    DirectoryPlanter& operator=(const DirectoryPlanter&) = delete;

    void append(const LogEvent& event) override {
        const std::wstring prefix = L"Deleted [" + baseDir_ + L"\\";
        if (planted.empty() && event.message.rfind(prefix, 0) == 0) {
            planted = event.message.substr(9, event.message.size() - 9 - 6);
            CreateDirectoryW(planted.c_str(), nullptr);
            krtest::writeFile(planted + L"\\planted.txt", "someone else's");
        }
        if (event.levelName == L"WARNING") {
            warnings.push_back(event.message);
        }
    }

    std::wstring planted;
    std::vector<std::wstring> warnings;

private:
    std::wstring baseDir_;
    LogAppender* previous_;
};

TEST(CreateTempDirectory, DirectoryPlantedUnderTheReservedNameIsLeftAloneAndTheNextNameTaken) {
    krtest::ScratchDir dir;
    std::wstring made;
    std::vector<std::wstring> warnings;
    std::wstring planted;
    {
        DirectoryPlanter planter(dir.path());
        made = createTempDirectory(L"", L".tmp", dir.path());
        planted = planter.planted;
        warnings = planter.warnings;
    }
    ASSERT_FALSE(planted.empty());
    EXPECT_NE(made, planted);
    EXPECT_EQ(dirname(made), dir.path());
    EXPECT_TRUE(krtest::listDir(made).empty());
    EXPECT_EQ(krtest::readFile(planted + L"\\planted.txt"), "someone else's");
    EXPECT_EQ(warnings, std::vector<std::wstring>{L"[" + planted + L"] was taken by someone else; trying another name"});
    EXPECT_EQ(krtest::listDir(dir.path()).size(), 2u);
}

TEST(CreateTempDirectory, NamesAnEmptyDirectoryByNumberAndSuffix) {
    krtest::ScratchDir dir;
    RecordCapture capture;
    const std::wstring made = createTempDirectory(L"", L".tmp", dir.path());

    ASSERT_EQ(dirname(made), dir.path());
    std::wstring number = basename(made);
    ASSERT_TRUE(tstrings::hasSuffix(number, L".tmp")) << u8(made);
    number.resize(number.size() - 4);
    if (!number.empty() && number[0] == L'-') {
        number.erase(0, 1);
    }
    ASSERT_FALSE(number.empty());
    EXPECT_TRUE(std::all_of(number.begin(), number.end(), [](wchar_t c) { return std::iswdigit(c); })) << u8(made);
    EXPECT_TRUE(number == L"0" || number[0] != L'0') << u8(made);
    EXPECT_TRUE(isDirectory(made));
    EXPECT_TRUE(krtest::listDir(made).empty());
    EXPECT_EQ(capture.messages(), (std::vector<std::wstring>{L"Created [" + made + L"] file",
                                                              L"Deleted [" + made + L"] file",
                                                              L"Created [" + made + L"\\] directory"}));
}

} // namespace

// ---- Holding a path

DWORD errorOf(BOOL succeeded) { return succeeded ? ERROR_SUCCESS : GetLastError(); }

// Opens `path` for reading with read sharing only, as the installer opens a package; the error, or 0.
DWORD errorOfOpeningAsTheInstaller(const std::wstring& path) {
    const HANDLE handle =
        CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    const DWORD code = GetLastError();
    if (handle == INVALID_HANDLE_VALUE) {
        return code;
    }
    CloseHandle(handle);
    return ERROR_SUCCESS;
}

TEST(PathHold, HeldFileCanBeReadAsTheInstallerDoesButNotWrittenReplacedMovedOrDeleted) {
    krtest::ScratchDir dir;
    const std::wstring package = dir.file(L"main.msi");
    krtest::writeFile(package, "package");
    krtest::writeFile(dir.file(L"other"), "swapped");
    {
        const PathHold hold(package);
        EXPECT_EQ(errorOfOpeningAsTheInstaller(package), DWORD{ERROR_SUCCESS});
        EXPECT_EQ(krtest::errorOfOpening(package, GENERIC_WRITE), DWORD{ERROR_SHARING_VIOLATION});
        EXPECT_EQ(errorOf(DeleteFileW(package.c_str())), DWORD{ERROR_SHARING_VIOLATION});
        const DWORD replaced = errorOf(MoveFileExW(dir.file(L"other").c_str(), package.c_str(), MOVEFILE_REPLACE_EXISTING));
        EXPECT_TRUE(replaced == ERROR_ACCESS_DENIED || replaced == ERROR_SHARING_VIOLATION) << replaced;
        EXPECT_EQ(errorOf(MoveFileExW(package.c_str(), dir.file(L"moved").c_str(), 0)), DWORD{ERROR_SHARING_VIOLATION});
        EXPECT_EQ(krtest::readFile(package), "package");
    }
    EXPECT_TRUE(deleteFile(package, std::nothrow));
}

TEST(PathHold, RefusesMissingFilesAndDirectories) {
    krtest::ScratchDir dir;
    const std::wstring missing = dir.file(L"missing");
    EXPECT_EQ(raisedBy([&] { PathHold{missing}; }).bare.rfind("CreateFile(" + u8(missing) + ") failed. System error [2]", 0),
              0u);
    EXPECT_FALSE(raisedBy([&] { PathHold{dir.path()}; }).bare.empty());
}

TEST(PathHold, RefusesSymbolicLinks) {
    krtest::ScratchDir dir;
    const std::wstring file = dir.file(L"file");
    const std::wstring link = dir.file(L"link");
    krtest::writeFile(file, "x");
    // Wine 8 makes no symbolic link to a file that it would show as one.
    if (wineExport<WineUnixName>("wine_get_unix_file_name")) {
        GTEST_SKIP() << "Wine shows no symbolic link to a file";
    }
    if (!CreateSymbolicLinkW(link.c_str(), file.c_str(), SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE)) {
        GTEST_SKIP() << "no symbolic link to a file can be made here";
    }
    EXPECT_EQ(raisedBy([&] { PathHold{link}; }).bare, "[" + u8(link) + "] is not a plain file");
}

TEST(PathHold, TemporaryDirectoryIsHeldFromItsCreationUntilTheHoldEnds) {
    krtest::ScratchDir dir;
    std::wstring made;
    {
        PathHold hold;
        made = createTempDirectory(L"", L".tmp", dir.path(), hold);
        EXPECT_EQ(krtest::errorOfOpening(made, DELETE), DWORD{ERROR_SHARING_VIOLATION});
        EXPECT_EQ(errorOf(MoveFileExW(made.c_str(), dir.file(L"elsewhere").c_str(), 0)), DWORD{ERROR_SHARING_VIOLATION});
        // Entries still come and go: the writer's temporary file, and its move into place.
        FileWriter(made + L"\\main.msi").write("msi", 3).finish();
        EXPECT_EQ(krtest::readFile(made + L"\\main.msi"), "msi");
        EXPECT_TRUE(deleteFile(made + L"\\main.msi", std::nothrow));
        EXPECT_FALSE(deleteDirectory(made, std::nothrow));
    }
    EXPECT_EQ(krtest::errorOfOpening(made, DELETE), DWORD{ERROR_SUCCESS});
    EXPECT_TRUE(deleteDirectory(createTempDirectory(L"", L".tmp", dir.path()), std::nothrow)) << "not held";
}

// The Unix permissions of `paths`, as "ls -l" shows them, one line each; read with stat under Wine.
std::string unixModes(const std::vector<std::wstring>& paths, const std::wstring& scratchFile) {
    const auto toUnix = wineExport<WineUnixName>("wine_get_unix_file_name");
    const auto unixName = [toUnix](const std::wstring& path) {
        char* name = toUnix(path.c_str());
        const std::string text = name ? name : "";
        HeapFree(GetProcessHeap(), 0, name);
        return "'" + text + "'";
    };
    std::string command = "stat --format=%A";
    for (const std::wstring& path : paths) {
        command += " " + unixName(path);
    }
    krtest::writeFile(scratchFile, "");
    command += " > " + unixName(scratchFile);
    const auto toDos = wineExport<WineDosName>("wine_get_dos_file_name");
    wchar_t* shell = toDos("/bin/sh");
    krtest::run(shell, {L"-c", krtest::wide(command)});
    HeapFree(GetProcessHeap(), 0, shell);
    std::string modes;
    eventually([&] {
        modes = krtest::readFile(scratchFile);
        return static_cast<size_t>(std::count(modes.begin(), modes.end(), '\n')) == paths.size();
    });
    return modes;
}

TEST(CreateTempDirectory, UnderWineTheAccessListBecomesUnixPermissionsForNobodyElse) {
    if (!wineExport<WineUnixName>("wine_get_unix_file_name")) {
        GTEST_SKIP() << "Windows keeps the access list itself; see IsPrivateToItsOwnerSystemAndAdministrators";
    }
    // Wine keeps no access list on a file, but turns the one a directory is created with into its Unix mode.
    krtest::ScratchDir dir;
    const std::wstring made = createTempDirectory(L"", L".tmp", dir.path());
    const std::wstring plain = dir.file(L"plain");
    makeDir(plain);
    const std::string modes = unixModes({made, plain}, dir.file(L"modes.txt"));
    ASSERT_EQ(modes.size(), 22u) << modes;
    EXPECT_EQ(modes.substr(7, 3), "---") << "others may enter the working directory: " << modes;
    EXPECT_NE(modes.substr(11 + 7, 3), "---") << "a plain directory shows no difference: " << modes;
}
