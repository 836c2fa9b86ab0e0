// Tests of deletion, directory enumeration and the Deleter on the real disk, directory links included.
#include "FileUtils.h"

#include "ErrorHandling.h"
#include "FileTestSupport.h"
#include "Log.h"
#include "krtest.h"

#include <gtest/gtest.h>
#include <windows.h>
#include <winioctl.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

using namespace FileUtils;
using namespace filetest;

namespace {

void makeReadOnly(const std::wstring& path) {
    ASSERT_TRUE(SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_READONLY)) << u8(path);
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
