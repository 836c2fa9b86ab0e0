// Tests of creation on the real disk: directories with their parents, uniquely named files and FileWriter.
#include "FileUtils.h"

#include "ErrorHandling.h"
#include "FileTestSupport.h"
#include "Log.h"
#include "krtest.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

using namespace FileUtils;
using namespace filetest;

namespace {

std::wstring numberName(DWORD number, const std::wstring& suffix) {
    return std::to_wstring(static_cast<int32_t>(number)) + suffix;
}

// ---- Temporary files

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

// ---- Directories

TEST(DirectoryCreation, CreatesTheMissingLevelsOnlyOnce) {
    krtest::ScratchDir dir;
    {
        RecordCapture capture;
        createDirectory(dir.file(L"a"));
        EXPECT_EQ(capture.messages(), std::vector<std::wstring>{L"Created [" + dir.file(L"a") + L"\\] directory"});
        ASSERT_EQ(capture.records.size(), 1u);
        EXPECT_EQ(capture.records[0].level, L"TRACE");
        EXPECT_EQ(capture.records[0].file, L"WinFileCreation.cpp");
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

} // namespace
