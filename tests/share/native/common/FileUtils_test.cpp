// Tests of path splitting, joining and trimming, absolute paths and the two file queries.
#include "FileUtils.h"

#include "krtest.h"

#include <gtest/gtest.h>

using namespace FileUtils;

TEST(PathStrings, CombinePath) {
    EXPECT_EQ(combinePath(L"C:\\tmp\\", L"\\x.msi"), L"C:\\tmp\\x.msi");
    EXPECT_EQ(combinePath(L"C:\\tmp", L"\\\\x"), L"C:\\tmp\\\\x");
    EXPECT_EQ(combinePath(L"C:/tmp//", L"x"), L"C:/tmp\\x");
    EXPECT_EQ(combinePath(L"", L"x"), L"x");
    EXPECT_EQ(combinePath(L"x\\", L""), L"x\\");
}

TEST(PathStrings, Dirname) {
    EXPECT_EQ(dirname(L"C:\\a\\b"), L"C:\\a");
    EXPECT_EQ(dirname(L"C:\\a\\\\b"), L"C:\\a");
    EXPECT_EQ(dirname(L"C:\\a\\"), L"C:\\a");
    EXPECT_EQ(dirname(L"C:\\a"), L"C:");
    EXPECT_EQ(dirname(L"\\a"), L"");
    EXPECT_EQ(dirname(L"a"), L"");
    EXPECT_EQ(dirname(L"C:\\a\\b\\."), L"C:\\a");
    EXPECT_EQ(dirname(L"C:/a/b/."), L"C:/a");
    EXPECT_EQ(combinePath(dirname(L"name.exe"), L"kvs1.tmp"), L"kvs1.tmp");
}

TEST(PathStrings, BasenameAndTrailingSeparators) {
    EXPECT_EQ(basename(L"C:\\dir\\setup.exe"), L"setup.exe");
    EXPECT_EQ(basename(L"C:/dir/x"), L"x");
    EXPECT_EQ(basename(L"C:\\dir\\"), L"");
    EXPECT_EQ(basename(L"plain"), L"plain");
    EXPECT_EQ(removeTrailingSlash(L"\\\\"), L"");
    EXPECT_EQ(removeTrailingSlash(L"C:/dir//"), L"C:/dir");
    EXPECT_EQ(removeTrailingSlash(L"C:\\"), L"C:");
    EXPECT_EQ(removeTrailingSlash(L""), L"");
}

TEST(PathStrings, PathBuilderJoinsWithSingleBackslashes) {
    EXPECT_EQ(tstring(PathBuilder() << L"C:\\Temp\\123.tmp" << L"main.msi"), L"C:\\Temp\\123.tmp\\main.msi");
    EXPECT_EQ(tstring(PathBuilder() << L"C:\\Temp\\123.tmp\\" << L"main.msi"), L"C:\\Temp\\123.tmp\\main.msi");
    EXPECT_EQ(tstring(PathBuilder() << L"" << L"main.msi"), L"main.msi");
    EXPECT_EQ(tstring(PathBuilder() << L"a/" << L"/b" << L"" << L"c"), L"a\\b\\c");
    EXPECT_EQ(tstring(PathBuilder()), L"");
}

TEST(AbsolutePaths, EmptyIsTheCurrentDirectoryAndDotsAreResolved) {
    krtest::ScratchDir scratch;
    wchar_t previous[MAX_PATH] = {};
    GetCurrentDirectoryW(MAX_PATH, previous);
    ASSERT_TRUE(SetCurrentDirectoryW(scratch.path().c_str()));
    const tstring current = toAbsolutePath(L"");
    const tstring resolved = toAbsolutePath(L"a\\..\\b");
    SetCurrentDirectoryW(previous);
    EXPECT_TRUE(tstrings::equalText(current, scratch.path(), tstrings::CaseMode::IgnoreCase))
        << krtest::utf8(current);
    EXPECT_TRUE(tstrings::equalText(resolved, scratch.path() + L"\\b", tstrings::CaseMode::IgnoreCase))
        << krtest::utf8(resolved);
}

TEST(AbsolutePaths, LongerThanTheClassicLimit) {
    const tstring deep = L"C:\\" + tstring(150, L'a') + L"\\" + tstring(120, L'b') + L"\\..\\" + tstring(150, L'c');
    const tstring resolved = L"C:\\" + tstring(150, L'a') + L"\\" + tstring(150, L'c');
    ASSERT_GT(resolved.size(), 260u);
    EXPECT_EQ(toAbsolutePath(deep), resolved);
}

TEST(FileQueries, FilesAndDirectories) {
    krtest::ScratchDir scratch;
    const tstring file = scratch.file(L"f.txt");
    krtest::writeFile(file, "x");
    EXPECT_TRUE(isFileExists(file));
    EXPECT_FALSE(isDirectory(file));
    EXPECT_TRUE(isFileExists(scratch.path()));
    EXPECT_TRUE(isDirectory(scratch.path()));
    EXPECT_FALSE(isFileExists(scratch.file(L"missing")));
    EXPECT_FALSE(isDirectory(scratch.file(L"missing")));
    EXPECT_FALSE(isFileExists(L""));
}
