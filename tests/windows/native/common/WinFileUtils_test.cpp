// Tests of file creation, temporary names, moves through FileWriter, enumeration and deletion on the real disk.
#include "FileUtils.h"

#include "ErrorHandling.h"
#include "Log.h"
#include "Raised.h"
#include "RecordingAppender.h"
#include "krtest.h"

#include <gtest/gtest.h>
#include <windows.h>
#include <winioctl.h>
#include <sddl.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <cwctype>
#include <string>
#include <vector>

using namespace FileUtils;

namespace {

using RecordCapture = krtest::RecordingAppender;

using krtest::Raised;
using krtest::raisedBy;

bool startsWith(const std::string& text, const std::string& prefix) { return text.rfind(prefix, 0) == 0; }

std::string u8(const std::wstring& text) { return krtest::utf8(text); }

// A file opened without delete sharing until destruction.
class HeldFile {
public:
    explicit HeldFile(const std::wstring& path)
        : handle_(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr)) {
        EXPECT_NE(handle_, INVALID_HANDLE_VALUE) << u8(path);
    }
    ~HeldFile() {
        if (handle_ != INVALID_HANDLE_VALUE) {
            CloseHandle(handle_);
        }
    }
    HeldFile(const HeldFile&) = delete;
    HeldFile& operator=(const HeldFile&) = delete;

private:
    HANDLE handle_;
};

void makeDir(const std::wstring& path) { ASSERT_TRUE(CreateDirectoryW(path.c_str(), nullptr)) << u8(path); }

void makeReadOnly(const std::wstring& path) {
    ASSERT_TRUE(SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_READONLY)) << u8(path);
}

std::wstring numberName(DWORD number, const std::wstring& suffix) {
    return std::to_wstring(static_cast<int32_t>(number)) + suffix;
}

// ---- Temporary files and directories

TEST(CreateTempFile, RefusesEachIllegalCharacterBeforeTouchingTheDisk) {
    krtest::ScratchDir dir;
    std::wstring illegal = L"<>:\"|?*/\\";
    for (wchar_t c = 0; c < L' '; ++c) {
        illegal += c;
    }
    ASSERT_EQ(illegal.size(), 41u);
    for (const wchar_t c : illegal) {
        const std::wstring prefix = std::wstring(L"a") + c + L"b";
        // The message is a C string: a zero character ends it.
        const std::string expected = ("Illegal characters in prefix=" + u8(prefix)).c_str();
        EXPECT_EQ(raisedBy([&] { createTempFile(prefix, L".tmp", dir.path()); }).bare, expected)
            << static_cast<int>(c);
    }
    const Raised suffix = raisedBy([&] { createTempFile(L"kvs", L"\t.tmp", dir.path()); });
    EXPECT_EQ(suffix.bare, "Illegal characters in suffix=\t.tmp");
    EXPECT_NE(suffix.what.find("at FileUtils::createTempFile(): Illegal"), std::string::npos) << suffix.what;
    EXPECT_EQ(raisedBy([&] { createTempFile(L"a/b", L"\t", dir.path()); }).bare, "Illegal characters in prefix=a/b");
    EXPECT_TRUE(krtest::listDir(dir.path()).empty());

    const std::wstring made = createTempFile(L"a b-c.d_", L".x y", dir.path());
    EXPECT_TRUE(krtest::exists(made));
}

TEST(CreateTempFile, GivesUpAfterAHundredAttemptsInAMissingDirectory) {
    krtest::ScratchDir dir;
    const std::wstring missing = dir.file(L"missing");
    const Raised raised = raisedBy([&] { createTempFile(L"kvs", L".tmp", missing); });
    EXPECT_EQ(raised.bare, "createTempFile(kvs, .tmp, " + u8(missing) + ") failed");
    EXPECT_FALSE(krtest::exists(missing));
}

TEST(CreateTempFile, MovesOnPastTakenNumbers) {
    krtest::ScratchDir dir;
    // Numbers from the tick count read here are taken; unless the clock jumps past them before the call reads
    // it, the first free number is the one right after them.
    constexpr DWORD taken = 40;
    for (int attempt = 0; attempt < 5; ++attempt) {
        const DWORD start = GetTickCount();
        for (DWORD i = 0; i < taken; ++i) {
            krtest::writeFile(dir.file(numberName(start + i, L".tmp")), "taken");
        }
        const std::wstring made = createTempFile(L"", L".tmp", dir.path());
        if (GetTickCount() - start >= taken) {
            continue;
        }
        EXPECT_EQ(made, dir.file(numberName(start + taken, L".tmp")));
        EXPECT_EQ(krtest::readFile(made), "");
        for (DWORD i = 0; i < taken; ++i) {
            EXPECT_EQ(krtest::readFile(dir.file(numberName(start + i, L".tmp"))), "taken");
        }
        return;
    }
    GTEST_SKIP() << "the tick count kept moving too fast";
}

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

TEST(DirectoryCreation, CreatesTheMissingLevelsOnlyOnce) {
    krtest::ScratchDir dir;
    {
        RecordCapture capture;
        createDirectory(dir.file(L"a"));
        EXPECT_EQ(capture.messages(), std::vector<std::wstring>{L"Created [" + dir.file(L"a") + L"\\] directory"});
        ASSERT_EQ(capture.records.size(), 1u);
        EXPECT_EQ(capture.records[0].level, L"TRACE");
        EXPECT_EQ(capture.records[0].file, L"WinFileUtils.cpp");
        EXPECT_EQ(capture.records[0].function, L"FileUtils::`anonymous-namespace'::createDir");
    }
    {
        RecordCapture capture;
        createDirectory(dir.file(L"x/y\\z\\\\"));
        const std::vector<std::wstring> expected{L"Created [" + dir.file(L"x/") + L"] directory",
                                                 L"Created [" + dir.file(L"x/y\\") + L"] directory",
                                                 L"Created [" + dir.file(L"x/y\\z\\") + L"] directory"};
        EXPECT_EQ(capture.messages(), expected);
    }
    RecordCapture capture;
    createDirectory(dir.file(L"a"));
    createDirectory(dir.file(L"x\\y\\z"));
    EXPECT_TRUE(capture.records.empty());
    EXPECT_TRUE(isDirectory(dir.file(L"x\\y\\z")));
}

TEST(DirectoryCreation, ExtendedLengthAndNetworkRootsAreNotCreated) {
    krtest::ScratchDir dir;
    const std::wstring extended = L"\\\\?\\" + dir.file(L"long\\path");
    createDirectory(extended);
    EXPECT_TRUE(isDirectory(dir.file(L"long\\path")));
    // The server and share of a network path are never passed to CreateDirectoryW: the first attempt is the
    // share's subdirectory, which fails here because the server does not exist.
    const Raised raised = raisedBy([] { createDirectory(L"\\\\no-such-server\\share\\dir\\sub"); });
    EXPECT_TRUE(startsWith(raised.bare, "CreateDirectory(\\\\no-such-server\\share\\dir\\) failed")) << raised.bare;
}

TEST(DirectoryCreation, AncestorThatIsAFileFailsAtThatPrefix) {
    krtest::ScratchDir dir;
    krtest::writeFile(dir.file(L"file"), "x");
    const Raised raised = raisedBy([&] { createDirectory(dir.file(L"file\\sub\\deeper")); });
    EXPECT_TRUE(startsWith(raised.bare, "CreateDirectory(" + u8(dir.file(L"file\\")) + ") failed. System error ["))
        << raised.bare;
    EXPECT_NE(raised.what.find("at FileUtils::`anonymous-namespace'::createDir(): "), std::string::npos)
        << raised.what;
    EXPECT_EQ(krtest::readFile(dir.file(L"file")), "x");
}

// ---- FileWriter

const std::string rawBytes("line\r\nnext\n\x1a\0\xff end", 17);

TEST(FileWriter, ReplacesTheDestinationOnlyOnFinish) {
    krtest::ScratchDir dir;
    const std::wstring destination = dir.file(L"out.bin");
    krtest::writeFile(destination, "old");
    RecordCapture capture;

    FileWriter writer(destination);
    writer.write(rawBytes.data(), 4).write(rawBytes.data() + 4, rawBytes.size() - 4);
    const std::vector<std::wstring> temps = krtest::listDir(dir.path(), L"kvs*.tmp");
    ASSERT_EQ(temps.size(), 1u);
    const std::wstring temp = dir.file(temps[0]);
    // Others may read and write the file while it is being written.
    const HANDLE other = CreateFileW(temp.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                     nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    EXPECT_NE(other, INVALID_HANDLE_VALUE);
    if (other != INVALID_HANDLE_VALUE) {
        CloseHandle(other);
    }
    EXPECT_EQ(krtest::readFile(destination), "old");

    writer.finish();
    EXPECT_EQ(krtest::readFile(destination), rawBytes);
    EXPECT_TRUE(krtest::listDir(dir.path(), L"kvs*.tmp").empty());
    EXPECT_NE(capture.indexOf(L"Moved '" + temp + L"' file to '" + destination + L"'"), -1);
}

TEST(FileWriter, AbandonedWriterLeavesNoTraceAndKeepsTheLastError) {
    krtest::ScratchDir dir;
    krtest::writeFile(dir.file(L"existing.bin"), "old");
    {
        FileWriter writer(dir.file(L"existing.bin"));
        writer.write(rawBytes.data(), rawBytes.size());
    }
    {
        FileWriter writer(dir.file(L"new.bin"));
        writer.write(rawBytes.data(), rawBytes.size());
        SetLastError(ERROR_INVALID_DATA);
    }
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_DATA));
    EXPECT_EQ(krtest::listDir(dir.path()), std::vector<std::wstring>{L"existing.bin"});
    EXPECT_EQ(krtest::readFile(dir.file(L"existing.bin")), "old");
}

TEST(FileWriter, RefusedReplacementRaisesAndRemovesTheTemporaryFile) {
    krtest::ScratchDir dir;
    const std::wstring destination = dir.file(L"locked.bin");
    krtest::writeFile(destination, "old");
    const HeldFile held(destination);
    std::wstring temp;
    Raised raised;
    {
        FileWriter writer(destination);
        writer.write(rawBytes.data(), rawBytes.size());
        const std::vector<std::wstring> temps = krtest::listDir(dir.path(), L"kvs*.tmp");
        ASSERT_EQ(temps.size(), 1u);
        temp = dir.file(temps[0]);
        raised = raisedBy([&] { writer.finish(); });
        EXPECT_TRUE(krtest::exists(temp));
    }
    const std::string expected = "MoveFileEx(" + u8(temp) + ", " + u8(destination) + ", 3) failed. System error [";
    EXPECT_TRUE(startsWith(raised.bare, expected)) << raised.bare;
    EXPECT_NE(raised.what.find("at FileUtils::`anonymous-namespace'::moveFileImpl(): "), std::string::npos);
    EXPECT_FALSE(krtest::exists(temp));
    EXPECT_EQ(krtest::readFile(destination), "old");
}

TEST(MoveFile, CreatesTheMissingFoldersOfTheDestination) {
    krtest::ScratchDir dir;
    krtest::writeFile(dir.file(L"source.bin"), rawBytes);
    const std::wstring destination = dir.file(L"new\\deeper\\moved.bin");
    moveFile(dir.file(L"source.bin"), destination);
    EXPECT_EQ(krtest::readFile(destination), rawBytes);
    EXPECT_FALSE(krtest::exists(dir.file(L"source.bin")));
}

TEST(FileWriter, MissingDirectoryRaisesTheTempFileFailure) {
    krtest::ScratchDir dir;
    const std::wstring missing = dir.file(L"missing");
    const Raised raised = raisedBy([&] { FileWriter writer(missing + L"\\out.bin"); });
    EXPECT_EQ(raised.bare, "createTempFile(kvs, .tmp, " + u8(missing) + ") failed");
    EXPECT_TRUE(krtest::listDir(dir.path()).empty());
}

// ---- Deletion

TEST(FileDeletion, ClearsTheReadOnlyAttributeAndDeletes) {
    krtest::ScratchDir dir;
    const std::wstring path = dir.file(L"ro.txt");
    krtest::writeFile(path, "x");
    makeReadOnly(path);
    RecordCapture capture;
    EXPECT_TRUE(deleteFile(path, std::nothrow));
    EXPECT_FALSE(krtest::exists(path));
    ASSERT_EQ(capture.records.size(), 2u);
    EXPECT_EQ(capture.records[0].message, L"Discarded R/O attribute from [" + path + L"] file");
    EXPECT_EQ(capture.records[0].function, L"FileUtils::deleteFile");
    EXPECT_EQ(capture.records[1].message, L"Deleted [" + path + L"] file");
    EXPECT_EQ(capture.records[1].function, L"FileUtils::`anonymous-namespace'::deleteFileImpl");
}

TEST(FileDeletion, OpenFileFailsWithTheSystemReason) {
    krtest::ScratchDir dir;
    const std::wstring path = dir.file(L"open.txt");
    krtest::writeFile(path, "x");
    const HeldFile held(path);
    EXPECT_FALSE(deleteFile(path, std::nothrow));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    const Raised raised = raisedBy([&] { deleteFile(path); });
    EXPECT_EQ(raised.bare.rfind("DeleteFile(" + u8(path) + ") failed. System error [32]", 0), 0u) << raised.bare;
    EXPECT_NE(raised.what.find("at FileUtils::deleteFile(): "), std::string::npos);
    EXPECT_TRUE(krtest::exists(path));
}

TEST(Deletion, MissingPathsCountAsDeleted) {
    krtest::ScratchDir dir;
    for (const std::wstring& path : {dir.file(L"gone"), dir.file(L"gone\\deeper\\still")}) {
        EXPECT_TRUE(deleteFile(path, std::nothrow));
        EXPECT_TRUE(deleteDirectory(path, std::nothrow));
        EXPECT_TRUE(deleteFiles(path, std::nothrow));
        EXPECT_TRUE(deleteAll(path, std::nothrow));
        EXPECT_NO_THROW(deleteFile(path));
        EXPECT_NO_THROW(deleteDirectory(path));
        EXPECT_NO_THROW(deleteFiles(path));
        EXPECT_NO_THROW(deleteAll(path));
    }
}

TEST(DeleteAll, RemovesATreeWithAReadOnlyFileDeepInside) {
    krtest::ScratchDir dir;
    const std::wstring root = dir.file(L"tree");
    makeDir(root);
    makeDir(root + L"\\a");
    makeDir(root + L"\\a\\b");
    krtest::writeFile(root + L"\\top.txt", "1");
    krtest::writeFile(root + L"\\a\\b\\deep.txt", "2");
    makeReadOnly(root + L"\\a\\b\\deep.txt");
    EXPECT_TRUE(deleteAll(root, std::nothrow));
    EXPECT_FALSE(krtest::exists(root));
}

TEST(DeleteAll, KeepsOnlyTheOpenFileAndItsAncestors) {
    krtest::ScratchDir dir;
    const std::wstring root = dir.file(L"tree");
    for (const wchar_t* sub : {L"", L"\\one", L"\\one\\inner", L"\\two"}) {
        makeDir(root + sub);
    }
    // The held file is the first of its directory to be enumerated: the files after it must go all the same.
    for (const wchar_t* file : {L"\\a.txt", L"\\one\\b.txt", L"\\one\\inner\\0-open.txt", L"\\one\\inner\\c.txt",
                                L"\\two\\d.txt"}) {
        krtest::writeFile(root + file, "x");
    }
    const HeldFile held(root + L"\\one\\inner\\0-open.txt");
    RecordCapture capture;
    EXPECT_FALSE(deleteAll(root, std::nothrow));
    EXPECT_EQ(krtest::listDir(root), std::vector<std::wstring>{L"one"});
    EXPECT_EQ(krtest::listDir(root + L"\\one"), std::vector<std::wstring>{L"inner"});
    EXPECT_EQ(krtest::listDir(root + L"\\one\\inner"), std::vector<std::wstring>{L"0-open.txt"});
    // The one file that stayed is named, with the system's reason.
    const std::vector<std::wstring> warnings = capture.messages(L"WARNING");
    ASSERT_EQ(warnings.size(), 1u);
    EXPECT_EQ(warnings[0].rfind(L"Failed to delete [" + root + L"\\one\\inner\\0-open.txt] file. System error [32]", 0), 0u)
        << u8(warnings[0]);
    EXPECT_TRUE(capture.messages(L"ERROR").empty());
}

TEST(DeleteAll, PathThatIsAFileIsRefusedAndKept) {
    krtest::ScratchDir dir;
    const std::wstring path = dir.file(L"plain.txt");
    krtest::writeFile(path, "x");
    EXPECT_FALSE(deleteAll(path, std::nothrow));
    EXPECT_FALSE(deleteFiles(path, std::nothrow));
    const Raised raised = raisedBy([&] { deleteAll(path); });
    EXPECT_TRUE(startsWith(raised.bare, "FindFirstFile(" + u8(path) + ") failed. System error [")) << raised.bare;
    EXPECT_EQ(krtest::readFile(path), "x");
}

TEST(DeleteFiles, DeletesOnlyThePlainFilesDirectlyInside) {
    krtest::ScratchDir dir;
    const std::wstring root = dir.file(L"tree");
    makeDir(root);
    makeDir(root + L"\\sub");
    krtest::writeFile(root + L"\\one.txt", "1");
    krtest::writeFile(root + L"\\two.txt", "2");
    makeReadOnly(root + L"\\two.txt");
    krtest::writeFile(root + L"\\sub\\kept.txt", "3");
    EXPECT_TRUE(deleteFiles(root, std::nothrow));
    EXPECT_EQ(krtest::listDir(root), std::vector<std::wstring>{L"sub"});
    EXPECT_EQ(krtest::readFile(root + L"\\sub\\kept.txt"), "3");
}

TEST(Deleter, DeletesFilesFirstThenTreesInRegistrationOrder) {
    krtest::ScratchDir dir;
    const std::wstring treeA = dir.file(L"A");
    const std::wstring treeB = dir.file(L"B");
    const std::wstring file = dir.file(L"f.txt");
    makeDir(treeA);
    makeDir(treeB);
    krtest::writeFile(treeA + L"\\in.txt", "a");
    krtest::writeFile(file, "f");
    RecordCapture capture;
    {
        Deleter deleter;
        deleter.appendRecursiveDirectory(treeA).appendFile(file).appendRecursiveDirectory(treeB);
        SetLastError(ERROR_INVALID_DATA);
    }
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_DATA));
    const int fileAt = capture.indexOf(L"Deleted [" + file + L"] file");
    const int treeAAt = capture.indexOf(L"Deleted [" + treeA + L"] directory");
    const int treeBAt = capture.indexOf(L"Deleted [" + treeB + L"] directory");
    EXPECT_NE(fileAt, -1);
    EXPECT_LT(fileAt, treeAAt);
    EXPECT_LT(treeAAt, treeBAt);
    EXPECT_TRUE(krtest::listDir(dir.path()).empty());
}

TEST(Deleter, HandlesEveryKindAndDeletesNothingOnceCancelled) {
    krtest::ScratchDir dir;
    makeDir(dir.file(L"files"));
    makeDir(dir.file(L"files\\sub"));
    makeDir(dir.file(L"empty"));
    krtest::writeFile(dir.file(L"files\\x.txt"), "x");
    krtest::writeFile(dir.file(L"f.txt"), "f");
    {
        Deleter deleter;
        deleter.appendFile(dir.file(L"f.txt")).appendRecursiveDirectory(dir.file(L"files"));
        deleter.appendEmptyDirectory(dir.file(L"empty")).appendDirectoryFiles(dir.file(L"files"));
        deleter.cancel();
    }
    EXPECT_EQ(krtest::listDir(dir.path()).size(), 3u);
    {
        Deleter deleter;
        deleter.appendEmptyDirectory(dir.file(L"empty")).appendDirectoryFiles(dir.file(L"files"));
    }
    EXPECT_EQ(krtest::listDir(dir.path()), (std::vector<std::wstring>{L"f.txt", L"files"}));
    EXPECT_EQ(krtest::listDir(dir.file(L"files")), std::vector<std::wstring>{L"sub"});
}

// ---- Enumeration

// Notes every entry it is given; answers false after `limit` of them.
class EntryList : public DirectoryCallback {
public:
    explicit EntryList(size_t limit = SIZE_MAX) : limit_(limit) {}
    bool onFile(const tstring& path) override { return note(L"file " + path); }
    bool onDirectory(const tstring& path) override { return note(L"dir " + path); }
    std::vector<std::wstring> entries;

private:
    bool note(const std::wstring& entry) {
        entries.push_back(entry);
        return entries.size() < limit_;
    }
    size_t limit_;
};

TEST(IterateDirectory, ReportsFilesAndSubdirectoriesWithFullPaths) {
    krtest::ScratchDir dir;
    makeDir(dir.file(L"sub"));
    krtest::writeFile(dir.file(L"f.txt"), "x");
    EntryList all;
    iterateDirectory(dir.path() + L"\\", all);
    std::sort(all.entries.begin(), all.entries.end());
    EXPECT_EQ(all.entries, (std::vector<std::wstring>{L"dir " + dir.file(L"sub"), L"file " + dir.file(L"f.txt")}));

    EntryList first(1);
    iterateDirectory(dir.path(), first);
    EXPECT_EQ(first.entries.size(), 1u);
}

TEST(IterateDirectory, EmptyDirectoryCallsNothingAndAMissingOneRaises) {
    krtest::ScratchDir dir;
    EntryList none;
    iterateDirectory(dir.path(), none);
    EXPECT_TRUE(none.entries.empty());

    const std::wstring missing = dir.file(L"missing");
    const Raised raised = raisedBy([&] { iterateDirectory(missing, none); });
    EXPECT_TRUE(startsWith(raised.bare, "FindFirstFile(" + u8(missing) + ") failed. System error [3]")) << raised.bare;
    EXPECT_NE(raised.what.find("at FileUtils::iterateDirectory(): "), std::string::npos);
}

// ---- Directory links

bool isLink(const std::wstring& path) {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT);
}

bool makeJunction(const std::wstring& link, const std::wstring& target) {
    if (!CreateDirectoryW(link.c_str(), nullptr)) {
        return false;
    }
    const HANDLE handle = CreateFileW(link.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                      FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    bool made = false;
    if (handle != INVALID_HANDLE_VALUE) {
        // Mount-point reparse data: tag, data length, reserved, the offsets and lengths of the substitute and
        // print names, then both names, each followed by a zero (the print name is empty).
        const std::wstring substitute = L"\\??\\" + target;
        const WORD substituteBytes = static_cast<WORD>(substitute.size() * sizeof(wchar_t));
        std::vector<BYTE> buffer(16 + substituteBytes + 2 * sizeof(wchar_t));
        const DWORD tag = IO_REPARSE_TAG_MOUNT_POINT;
        const WORD header[6] = {static_cast<WORD>(buffer.size() - 8), 0, 0, substituteBytes,
                                static_cast<WORD>(substituteBytes + sizeof(wchar_t)), 0};
        memcpy(buffer.data(), &tag, sizeof(tag));
        memcpy(buffer.data() + 4, header, sizeof(header));
        memcpy(buffer.data() + 16, substitute.data(), substituteBytes);
        DWORD returned = 0;
        made = DeviceIoControl(handle, FSCTL_SET_REPARSE_POINT, buffer.data(), static_cast<DWORD>(buffer.size()),
                               nullptr, 0, &returned, nullptr) &&
               isLink(link);
        CloseHandle(handle);
    }
    if (!made) {
        RemoveDirectoryW(link.c_str());
    }
    return made;
}

// Wine's exports for its own path mapping; absent on Windows.
using WineUnixName = char*(CDECL*)(const wchar_t*);
using WineDosName = wchar_t*(CDECL*)(const char*);

template <class Function>
Function wineExport(const char* name) {
    return reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), name)));
}

// Whether `condition` comes true within ten seconds.
template <class Condition>
bool eventually(Condition condition) {
    for (const ULONGLONG deadline = GetTickCount64() + 10000; GetTickCount64() < deadline; Sleep(20)) {
        if (condition()) {
            return true;
        }
    }
    return condition();
}

// Runs a Unix program on Windows paths given in their Unix form; Wine starts it as a native process and may
// report it as ended before it has done its work, so callers wait for its effect.
krtest::RunResult runUnix(const char* program, const std::wstring& option, const std::vector<std::wstring>& paths) {
    const auto toUnix = wineExport<WineUnixName>("wine_get_unix_file_name");
    const auto toDos = wineExport<WineDosName>("wine_get_dos_file_name");
    std::vector<std::wstring> args{option};
    for (const std::wstring& path : paths) {
        char* name = toUnix(path.c_str());
        args.push_back(krtest::wide(name ? name : ""));
        HeapFree(GetProcessHeap(), 0, name);
    }
    wchar_t* dosProgram = toDos(program);
    krtest::RunResult result = krtest::run(dosProgram, args);
    HeapFree(GetProcessHeap(), 0, dosProgram);
    return result;
}

enum class LinkKind { None, Junction, UnixSymbolicLink };

// A link to a directory, itself removed at destruction. Windows gets a junction; Wine 8 makes no junction
// or symbolic link through the Windows calls, so there it is a Unix symbolic link, which Wine reports as a
// directory reparse point.
class DirectoryLink {
public:
    DirectoryLink(const std::wstring& link, const std::wstring& target) : link_(link) {
        if (makeJunction(link, target)) {
            kind = LinkKind::Junction;
        } else if (wineExport<WineUnixName>("wine_get_unix_file_name")) {
            runUnix("/bin/ln", L"-s", {target, link});
            kind = eventually([&link] { return isLink(link); }) ? LinkKind::UnixSymbolicLink : LinkKind::None;
        }
    }
    ~DirectoryLink() {
        if (kind == LinkKind::UnixSymbolicLink) {
            runUnix("/bin/rm", L"-f", {link_});
            eventually([this] { return !isLink(link_); });
        } else if (isLink(link_)) {
            RemoveDirectoryW(link_.c_str());
        }
    }
    DirectoryLink(const DirectoryLink&) = delete;
    DirectoryLink& operator=(const DirectoryLink&) = delete;

    LinkKind kind = LinkKind::None;

private:
    std::wstring link_;
};

// Wine's RemoveDirectoryW acts on the target of a Unix symbolic link; that target is not empty here, so
// under Wine the links stay and the deletions report failure.
TEST(DeleteAll, RemovesDirectoryLinksButNeverTheirTargetsContent) {
    krtest::ScratchDir dir;
    const std::wstring target = dir.file(L"target");
    const std::wstring tree = dir.file(L"tree");
    makeDir(target);
    makeDir(tree);
    makeDir(tree + L"\\sub");
    krtest::writeFile(target + L"\\keep.txt", "keep");
    krtest::writeFile(tree + L"\\sub\\plain.txt", "x");
    const DirectoryLink direct(dir.file(L"link"), target);
    const DirectoryLink nested(tree + L"\\sub\\link", target);
    if (direct.kind == LinkKind::None || nested.kind == LinkKind::None) {
        GTEST_SKIP() << "no directory link can be made here";
    }
    ASSERT_TRUE(isDirectory(dir.file(L"link")));
    const bool underWine = direct.kind == LinkKind::UnixSymbolicLink;
    RecordCapture capture;

    EXPECT_EQ(deleteAll(dir.file(L"link"), std::nothrow), !underWine);
    EXPECT_EQ(isLink(dir.file(L"link")), underWine);
    EXPECT_EQ(deleteAll(tree, std::nothrow), !underWine);
    EXPECT_EQ(krtest::readFile(target + L"\\keep.txt"), "keep");
    EXPECT_FALSE(capture.mentions(L"keep.txt"));
    EXPECT_FALSE(krtest::exists(tree + L"\\sub\\plain.txt"));
    if (underWine) {
        EXPECT_EQ(krtest::listDir(tree + L"\\sub"), std::vector<std::wstring>{L"link"});
    } else {
        EXPECT_FALSE(krtest::exists(tree));
    }
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
