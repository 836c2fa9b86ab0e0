// Tests of the packer: what a setup carries, its version block, determinism, refusals, memory, the setup at work.
#include "Crc32c.h"
#include "PackageEdit.h"
#include "RecordingAppender.h"
#include "krpack.h"
#include "krtest.h"
#include "pe/ImageWriter.h"
#include "pe/PeImage.h"
#include "resources/SetupResources.h"
#include "resources/VersionBlock.h"
#include "setup/Packer.h"

#include <gtest/gtest.h>

#include <windows.h>
#include <imagehlp.h>
#include <psapi.h>
#include <shellapi.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace {

using krtest::utf8;

const std::wstring kPacker = krtest::binPath(L"kestrel-pack.exe");
const std::wstring kLauncher = krtest::binPath(L"kestrel-launcher.exe");
const std::wstring kPackage = krtest::binPath(KR_PACKTEST_MSI_FROM_BIN);
const std::string kProductCode = utf8(KR_PACKTEST_PRODUCT_CODE);

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// A module mapped for reading its resources only.
class DataFile {
public:
    explicit DataFile(const std::wstring& path)
        : module_(LoadLibraryExW(path.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE)) {
        if (!module_) {
            throw std::runtime_error("LoadLibraryEx failed for " + utf8(path));
        }
    }
    ~DataFile() { FreeLibrary(module_); }
    DataFile(const DataFile&) = delete;
    DataFile& operator=(const DataFile&) = delete;

    // The resource found as the launcher finds it; absent is an empty result and `found` false.
    std::string resource(LPCWSTR name, LPCWSTR type, bool* found = nullptr) const {
        const HRSRC info = FindResourceW(module_, name, type);
        if (found) {
            *found = info != nullptr;
        }
        if (!info) {
            return std::string();
        }
        const HGLOBAL data = LoadResource(module_, info);
        return std::string(static_cast<const char*>(LockResource(data)), SizeofResource(module_, info));
    }

    HMODULE handle() const { return module_; }

    std::vector<WORD> languages(LPCWSTR type, LPCWSTR name) const {
        std::vector<WORD> found;
        EnumResourceLanguagesW(
            module_, type, name,
            [](HMODULE, LPCWSTR, LPCWSTR, WORD language, LONG_PTR context) -> BOOL {
                reinterpret_cast<std::vector<WORD>*>(context)->push_back(language);
                return TRUE;
            },
            reinterpret_cast<LONG_PTR>(&found));
        return found;
    }

private:
    HMODULE module_;
};

// The version block of a file as the system's version functions read it.
class FileVersion {
public:
    explicit FileVersion(const std::wstring& path) {
        DWORD ignored = 0;
        data_.resize(GetFileVersionInfoSizeW(path.c_str(), &ignored));
        if (data_.empty() || !GetFileVersionInfoW(path.c_str(), 0, static_cast<DWORD>(data_.size()), data_.data())) {
            throw std::runtime_error("no version block in " + utf8(path));
        }
        const DWORD* translation = static_cast<const DWORD*>(query(L"\\VarFileInfo\\Translation"));
        if (!translation) {
            throw std::runtime_error("no translation in " + utf8(path));
        }
        language = LOWORD(*translation);
        codePage = HIWORD(*translation);
        fixed = *static_cast<const VS_FIXEDFILEINFO*>(query(L"\\"));
    }

    // The text of one string of the table named by the translation; null when absent.
    const wchar_t* string(const std::wstring& name) const {
        wchar_t key[64];
        swprintf(key, 64, L"\\StringFileInfo\\%04x%04x\\%ls", language, codePage, name.c_str());
        return static_cast<const wchar_t*>(query(key));
    }

    WORD language = 0;
    WORD codePage = 0;
    VS_FIXEDFILEINFO fixed = {};

private:
    const void* query(const std::wstring& path) const {
        void* value = nullptr;
        UINT length = 0;
        return VerQueryValueW(data_.data(), path.c_str(), &value, &length) && length > 0 ? value : nullptr;
    }

    std::vector<char> data_;
};

struct PeFacts {
    DWORD timeDateStamp = 0;
    std::vector<DWORD> resourceDirectoryStamps;
};

// The time stamps of the file header and of every directory of the resource tree, read from the file's bytes.
PeFacts readPeFacts(std::string image) {
    PeFacts facts;
    facts.timeDateStamp = ImageNtHeader(image.data())->FileHeader.TimeDateStamp;
    ULONG size = 0;
    const char* const root = static_cast<const char*>(
        ImageDirectoryEntryToData(image.data(), FALSE, IMAGE_DIRECTORY_ENTRY_RESOURCE, &size));
    std::vector<const IMAGE_RESOURCE_DIRECTORY*> pending = {reinterpret_cast<const IMAGE_RESOURCE_DIRECTORY*>(root)};
    while (!pending.empty()) {
        const IMAGE_RESOURCE_DIRECTORY* directory = pending.back();
        pending.pop_back();
        facts.resourceDirectoryStamps.push_back(directory->TimeDateStamp);
        const auto* entries = reinterpret_cast<const IMAGE_RESOURCE_DIRECTORY_ENTRY*>(directory + 1);
        for (int i = 0; i < directory->NumberOfNamedEntries + directory->NumberOfIdEntries; ++i) {
            if (entries[i].DataIsDirectory) {
                const char* child = root + entries[i].OffsetToDirectory;
                pending.push_back(reinterpret_cast<const IMAGE_RESOURCE_DIRECTORY*>(child));
            }
        }
    }
    return facts;
}

std::vector<std::wstring> tempFilesIn(const std::wstring& dir) { return krtest::listDir(dir, L"kvs*.tmp"); }

TEST(PackedSetup, CarriesThePackageItsCodeAndTheLauncherManifest) {
    krtest::ScratchDir scratch;
    const std::wstring setup = scratch.file(L"packtest-setup.exe");
    // The launcher is the one beside the packer.
    const krtest::RunResult result = krtest::run(kPacker, {kPackage, setup});
    ASSERT_EQ(result.exitCode, 0u) << result.err;
    EXPECT_EQ(result.err, "");
    EXPECT_TRUE(contains(result.out, "Packed Kestrel Packtest 2.5.17 by Kestrel Pr\xC3\xBC" "fstand, product code " +
                                         kProductCode))
        << result.out;
    EXPECT_TRUE(contains(result.out, "Wrote " + utf8(setup) + " with a package of ")) << result.out;
    EXPECT_TRUE(tempFilesIn(scratch.path()).empty());

    const DataFile packed(setup);
    const DataFile launcher(kLauncher);
    const std::string package = krtest::readFile(kPackage);
    EXPECT_EQ(packed.resource(L"msi", RT_RCDATA), package);
    Crc32c digest;
    digest.update(package.data(), package.size());
    EXPECT_EQ(packed.resource(L"msi_digest", RT_RCDATA), digest.text());
    const std::string code = packed.resource(L"product_code", RT_RCDATA);
    EXPECT_EQ(code, kProductCode);
    EXPECT_EQ(code.size(), 38u);
    bool hasManifest = false;
    EXPECT_EQ(packed.resource(MAKEINTRESOURCEW(1), RT_MANIFEST, &hasManifest),
              launcher.resource(MAKEINTRESOURCEW(1), RT_MANIFEST));
    EXPECT_TRUE(hasManifest);
    EXPECT_EQ(packed.languages(RT_VERSION, MAKEINTRESOURCEW(1)), launcher.languages(RT_VERSION, MAKEINTRESOURCEW(1)));
}

TEST(PackedSetup, VersionBlockDescribesTheProduct) {
    krtest::ScratchDir scratch;
    const std::wstring setup = scratch.file(L"packtest-setup.exe");
    ASSERT_EQ(krtest::run(kPacker, {L"--launcher", kLauncher, kPackage, setup}).exitCode, 0u);

    const FileVersion launcher(kLauncher);
    const FileVersion version(setup);
    EXPECT_EQ(version.language, launcher.language);
    EXPECT_EQ(version.codePage, 1200);
    const std::vector<std::pair<std::wstring, std::wstring>> expected = {
        {L"ProductName", L"Kestrel Packtest"},
        {L"ProductVersion", L"2.5.17"},
        {L"FileVersion", L"2.5.17"},
        {L"CompanyName", L"Kestrel Pr\u00fcfstand"},
        {L"FileDescription", L"Kestrel Packtest Setup"},
        {L"OriginalFilename", L"packtest-setup.exe"},
        {L"InternalName", L"packtest-setup"},
    };
    for (const auto& [name, value] : expected) {
        const wchar_t* text = version.string(name);
        EXPECT_EQ(text ? std::wstring(text) : L"<absent>", value) << utf8(name);
    }
    EXPECT_EQ(version.string(L"LegalCopyright"), nullptr);

    EXPECT_EQ(version.fixed.dwSignature, static_cast<DWORD>(VS_FFI_SIGNATURE));
    EXPECT_EQ(version.fixed.dwFileVersionMS, static_cast<DWORD>(2 << 16 | 5));
    EXPECT_EQ(version.fixed.dwFileVersionLS, static_cast<DWORD>(17 << 16 | 0));
    EXPECT_EQ(version.fixed.dwProductVersionMS, version.fixed.dwFileVersionMS);
    EXPECT_EQ(version.fixed.dwProductVersionLS, version.fixed.dwFileVersionLS);
    EXPECT_EQ(version.fixed.dwFileType, static_cast<DWORD>(VFT_APP));
    EXPECT_EQ(version.fixed.dwFileDateMS | version.fixed.dwFileDateLS, 0u);
}

class StringSink : public pack::ByteSink {
public:
    void write(pack::ByteView bytes) override { bytes_.append(reinterpret_cast<const char*>(bytes.data), bytes.size); }
    void writeAt(uint64_t offset, pack::ByteView bytes) override {
        bytes_.replace(offset, bytes.size, reinterpret_cast<const char*>(bytes.data), bytes.size);
    }
    std::string bytes_;
};

// A version block may name a text twice, in any case, as anyone may write one: --info shows what Windows' version
// functions show, the first.
TEST(SetupVersionBlock, ATextNamedTwiceReadsAsWindowsReadsIt) {
    krtest::ScratchDir scratch;
    const std::wstring setup = scratch.file(L"setup.exe");
    ASSERT_EQ(krtest::run(kPacker, {kPackage, setup}).exitCode, 0u);
    const std::string packed = krtest::readFile(setup);
    pack::MemorySource source(pack::ByteView{reinterpret_cast<const uint8_t*>(packed.data()), packed.size()});
    const pack::PeImage image(source);
    const uint16_t language = image.resources().languages(pack::kResourceTypeVersion, pack::kVersionResource).at(0);
    for (const char16_t* first : {u"ProductName", u"PRODUCTNAME"}) {
        pack::VersionInfo info;
        info.language = language;
        info.strings = {{first, u"Trusted"}, {u"CompanyName", u"Kestrel"}, {u"ProductName", u" Corp Updater"}};
        pack::ResourceTree resources = image.resources();
        resources.put(pack::kResourceTypeVersion, pack::kVersionResource, language,
                      pack::ResourceData::of(std::make_shared<pack::BufferSource>(pack::buildVersionBlock(info))));
        StringSink crafted;
        pack::writeImage(image, resources, crafted);
        krtest::writeFile(setup, crafted.bytes_);

        const wchar_t* shown = FileVersion(setup).string(L"ProductName");
        EXPECT_EQ(shown ? std::wstring(shown) : L"<absent>", L"Trusted");
        const krtest::RunResult described = krtest::run(kPacker, {L"--info", setup});
        EXPECT_EQ(described.exitCode, 0u) << described.err;
        EXPECT_TRUE(contains(described.out, "\r\nProduct:      Trusted\r\n")) << described.out;
    }
}

TEST(PackedSetup, IsDeterministicWithoutTimeStampsAndWithAValidChecksum) {
    krtest::ScratchDir first;
    krtest::ScratchDir second;
    for (const krtest::ScratchDir* dir : {&first, &second}) {
        ASSERT_EQ(krtest::run(kPacker, {L"--launcher=" + kLauncher, kPackage, dir->file(L"setup.exe")}).exitCode, 0u);
    }
    const std::string image = krtest::readFile(first.file(L"setup.exe"));
    EXPECT_TRUE(image == krtest::readFile(second.file(L"setup.exe")));

    const PeFacts facts = readPeFacts(image);
    EXPECT_EQ(facts.timeDateStamp, readPeFacts(krtest::readFile(kLauncher)).timeDateStamp);
    EXPECT_EQ(facts.timeDateStamp, 0u);
    // Root, the three types and one directory of languages for each of the five names.
    EXPECT_EQ(facts.resourceDirectoryStamps.size(), 1u + 3u + 5u);
    for (const DWORD stamp : facts.resourceDirectoryStamps) {
        EXPECT_EQ(stamp, 0u);
    }

    DWORD stored = 0;
    DWORD computed = 0;
    ASSERT_EQ(MapFileAndCheckSumW(first.file(L"setup.exe").c_str(), &stored, &computed),
              static_cast<DWORD>(CHECKSUM_SUCCESS));
    EXPECT_EQ(stored, computed);
}

TEST(PackerCommandLine, HelpVersionAndWrongUsage) {
    const krtest::RunResult help = krtest::run(kPacker, {L"--help"});
    EXPECT_EQ(help.exitCode, 0u);
    EXPECT_TRUE(
        contains(help.out, "Usage: kestrel-pack [--launcher <kestrel-launcher.exe>] [--icon <file.ico> | --no-icon]"));
    EXPECT_EQ(help.err, "");
    EXPECT_EQ(krtest::run(kPacker, {L"-h"}).out, help.out);

    const krtest::RunResult version = krtest::run(kPacker, {L"--version"});
    EXPECT_EQ(version.exitCode, 0u);
    EXPECT_TRUE(version.out.rfind("kestrel-pack ", 0) == 0 && version.out.size() > 14 &&
                std::isdigit(static_cast<unsigned char>(version.out[13])))
        << version.out;

    const std::vector<std::pair<std::vector<std::wstring>, std::string>> wrong = {
        {{}, "expected a package and an output file, got 0 arguments"},
        {{kPackage}, "got 1 argument"},
        {{kPackage, L"a.exe", L"b.exe"}, "got 3 arguments"},
        {{L"--frobnicate", kPackage, L"a.exe"}, "unknown option '--frobnicate'"},
        {{kPackage, L"a.exe", L"--launcher"}, "--launcher needs the path of a launcher"},
        {{L"--launcher=", kPackage, L"a.exe"}, "--launcher needs the path of a launcher"},
        {{L"--launcher", kLauncher, L"--launcher", kLauncher, kPackage, L"a.exe"}, "more than once"},
        {{kPackage, L""}, "a file name is empty"},
    };
    for (const auto& [args, problem] : wrong) {
        const krtest::RunResult result = krtest::run(kPacker, args);
        EXPECT_EQ(result.exitCode, 2u) << problem;
        EXPECT_TRUE(contains(result.err, "kestrel-pack: ") && contains(result.err, problem) &&
                    contains(result.err, "Usage: kestrel-pack"))
            << result.err;
        EXPECT_EQ(result.out, "");
    }
}

// The sizes of the images of a file's first icon group, as Windows picks, decodes and draws them from its
// resources; empty when the file has no icon group.
std::vector<std::pair<LONG, LONG>> iconSizes(const std::wstring& path) {
    const DataFile file(path);
    std::wstring group;
    EnumResourceNamesW(
        file.handle(), RT_GROUP_ICON,
        [](HMODULE, LPCWSTR, LPWSTR name, LONG_PTR context) -> BOOL {
            *reinterpret_cast<std::wstring*>(context) = IS_INTRESOURCE(name) ? L"#" + std::to_wstring(
                reinterpret_cast<ULONG_PTR>(name)) : name;
            return FALSE;
        },
        reinterpret_cast<LONG_PTR>(&group));
    std::vector<std::pair<LONG, LONG>> sizes;
    if (group.empty()) {
        return sizes;
    }
    const std::string directory = file.resource(group.c_str(), RT_GROUP_ICON);
    // A count after two reserved words, then entries of 14 bytes that begin with the width and the height.
    const auto byte = [&directory](size_t at) { return static_cast<BYTE>(directory[at]); };
    for (size_t i = 0; i < static_cast<size_t>(byte(4) | byte(5) << 8); ++i) {
        const BYTE width = byte(6 + i * 14);
        const BYTE height = byte(7 + i * 14);
        const int id = LookupIconIdFromDirectoryEx(reinterpret_cast<BYTE*>(const_cast<char*>(directory.data())), TRUE,
                                                   width ? width : 256, height ? height : 256, LR_DEFAULTCOLOR);
        std::string image = file.resource(MAKEINTRESOURCEW(id), RT_ICON);
        const HICON icon = CreateIconFromResourceEx(reinterpret_cast<BYTE*>(image.data()),
                                                    static_cast<DWORD>(image.size()), TRUE, 0x00030000, 0, 0,
                                                    LR_DEFAULTCOLOR);
        ICONINFO info = {};
        BITMAP bitmap = {};
        if (icon && GetIconInfo(icon, &info) && GetObjectW(info.hbmColor, sizeof(bitmap), &bitmap)) {
            sizes.emplace_back(bitmap.bmWidth, bitmap.bmHeight);
        }
        DeleteObject(info.hbmColor);
        DeleteObject(info.hbmMask);
        DestroyIcon(icon);
    }
    return sizes;
}

// The package's icon, or --icon's, as Windows reads it from the setup: an .ico file, a 64-bit or a 32-bit program's
// first icon group. A package's Icon row that cannot be used is left out with one warning, and the setup packed.
TEST(PackedSetup, WearsTheIconOfThePackageOrOfIconAsWindowsReadsIt) {
    krtest::ScratchDir scratch;
    const std::wstring icoRow = krtest::binPath(KR_ICONIC_ICO_MSI_FROM_BIN);
    const std::wstring exeRow = krtest::binPath(KR_ICONIC_EXE_MSI_FROM_BIN);
    const std::wstring pe32Row = krtest::binPath(KR_ICONIC_PE32_MSI_FROM_BIN);
    const std::wstring textRow = krtest::binPath(KR_ICONIC_TEXT_MSI_FROM_BIN);
    const std::wstring pe32 = krtest::binPath(KR_ICONIC32_EXE_FROM_BIN);
    // Windows reads the 32-bit program's icon as the packer does.
    EXPECT_EQ(ExtractIconExW(pe32.c_str(), -1, nullptr, nullptr, 0), 1u);
    const std::vector<std::pair<LONG, LONG>> four = {{16, 16}, {32, 32}, {48, 48}, {256, 256}};
    const std::vector<std::pair<LONG, LONG>> three = {{20, 20}, {40, 40}, {256, 256}};
    const std::string unusable = "cannot be used: it is neither an icon file nor a Windows executable";
    struct Case {
        std::vector<std::wstring> args;
        std::vector<std::pair<LONG, LONG>> sizes;
        std::string report;
        std::string warning{}; // what follows the Icon row's package on standard error
    };
    const std::vector<Case> cases = {
        {{icoRow}, four, "Icon: 16x16, 32x32, 48x48, 256x256 from the package's Icon table, row 'ProductIcon'"},
        {{exeRow}, {{16, 16}, {24, 24}, {64, 64}}, "Icon: 16x16, 24x24, 64x64 from the package's Icon table"},
        {{pe32Row}, three, "Icon: 20x20, 40x40, 256x256 from the package's Icon table, row 'ProductIcon'"},
        {{L"--icon", krtest::binPath(KR_ICON_ICO_FROM_BIN), kPackage}, four,
         "Icon: 16x16, 32x32, 48x48, 256x256 from '"},
        {{L"--icon", pe32, kPackage}, three, "Icon: 20x20, 40x40, 256x256 from '"},
        {{L"--no-icon", icoRow}, {}, "Icon: none, as --no-icon asks"},
        {{kPackage}, {}, "Icon: none; the package names no icon in ARPPRODUCTICON"},
        {{textRow}, {}, "Icon: none; the row 'ProductIcon' of the package's Icon table " + unusable,
         "kr-iconic-text.msi' " + unusable + "; the setup is packed without an icon"},
    };
    for (const Case& pack : cases) {
        const std::wstring setup = scratch.file(L"setup.exe");
        std::vector<std::wstring> args = pack.args;
        args.push_back(setup);
        const krtest::RunResult result = krtest::run(kPacker, args);
        ASSERT_EQ(result.exitCode, 0u) << result.err;
        if (pack.warning.empty()) {
            EXPECT_EQ(result.err, "");
        } else {
            EXPECT_EQ(result.err.rfind("kestrel-pack: warning: The icon 'ProductIcon' in the package '", 0), 0u);
            EXPECT_TRUE(contains(result.err, pack.warning)) << result.err;
            EXPECT_EQ(std::count(result.err.begin(), result.err.end(), '\n'), 1) << result.err;
        }
        EXPECT_TRUE(contains(result.out, pack.report)) << result.out;
        EXPECT_EQ(iconSizes(setup), pack.sizes) << pack.report;
        // What the shell counts, and draws in Explorer.
        EXPECT_EQ(ExtractIconExW(setup.c_str(), -1, nullptr, nullptr, 0), pack.sizes.empty() ? 0u : 1u);
        const std::string info = krtest::run(kPacker, {L"--info", setup}).out;
        const std::string first = pack.sizes.empty() ? "none" : std::to_string(pack.sizes[0].first) + "x" +
                                                                    std::to_string(pack.sizes[0].second) + ", ";
        EXPECT_TRUE(contains(info, "Icon:         " + first)) << info;
    }
}

// Each refusal: exit code 1, a message naming the culprit, and the output directory as it was.
TEST(PackerRefusal, LeavesTheOutputAsItWas) {
    krtest::ScratchDir scratch;
    const std::wstring textFile = scratch.file(L"notes.msi");
    krtest::writeFile(textFile, "This is not an installer database.\r\n");
    const std::wstring withoutCode = scratch.file(L"withoutcode.msi");
    packtest::editCopy(kPackage, withoutCode, {L"DELETE FROM `Property` WHERE `Property` = 'ProductCode'"});
    const std::wstring badCode = scratch.file(L"badcode.msi");
    packtest::editCopy(kPackage, badCode,
                       {L"UPDATE `Property` SET `Value` = '{not-a-guid}' WHERE `Property` = 'ProductCode'"});
    const std::wstring packed = scratch.file(L"packed.exe");
    ASSERT_EQ(krtest::run(kPacker, {kPackage, packed}).exitCode, 0u);
    wchar_t system[MAX_PATH] = {};
    GetSystemDirectoryW(system, MAX_PATH);
    const std::wstring notepad = std::wstring(system) + L"\\notepad.exe";

    struct Case {
        const char* what;
        std::wstring launcher;
        std::wstring package;
        std::string message;
    };
    const std::vector<Case> cases = {
        {"not a package", kLauncher, textFile, "Cannot open '" + utf8(textFile) + "' as a Windows Installer package"},
        {"no product code", kLauncher, withoutCode, "The package '" + utf8(withoutCode) + "' has no ProductCode"},
        {"bad product code", kLauncher, badCode,
         "The package '" + utf8(badCode) + "' has the ProductCode '{not-a-guid}', which is not a GUID"},
        {"missing package", kLauncher, scratch.file(L"missing.msi"),
         "The package '" + utf8(scratch.file(L"missing.msi")) + "' does not exist"},
        {"launcher not an executable", textFile, kPackage,
         "The launcher '" + utf8(textFile) + "' cannot be packed: it is not a Windows executable"},
        {"launcher already packed", packed, kPackage, "The launcher '" + utf8(packed) + "' already carries a package"},
        {"launcher of another program", notepad, kPackage,
         "The launcher '" + utf8(notepad) + "' cannot be packed: it is not a Kestrel launcher"},
    };
    krtest::ScratchDir out;
    const std::wstring existing = out.file(L"existing-setup.exe");
    krtest::writeFile(existing, "the previous setup");
    for (const Case& refusal : cases) {
        for (const std::wstring& output : {existing, out.file(L"new-setup.exe")}) {
            const krtest::RunResult result =
                krtest::run(kPacker, {L"--launcher", refusal.launcher, refusal.package, output});
            EXPECT_EQ(result.exitCode, 1u) << refusal.what;
            EXPECT_TRUE(contains(result.err, "kestrel-pack: " + refusal.message)) << refusal.what << ": " << result.err;
            EXPECT_EQ(result.out, "") << refusal.what;
        }
        EXPECT_EQ(krtest::readFile(existing), "the previous setup") << refusal.what;
        EXPECT_EQ(krtest::listDir(out.path()), std::vector<std::wstring>{L"existing-setup.exe"}) << refusal.what;
    }

    const std::wstring missingDir = out.file(L"no-such-dir");
    const krtest::RunResult result = krtest::run(kPacker, {kPackage, missingDir + L"\\setup.exe"});
    EXPECT_EQ(result.exitCode, 1u);
    EXPECT_TRUE(contains(result.err, "The output directory '" + utf8(missingDir) + "' does not exist")) << result.err;
    EXPECT_FALSE(krtest::exists(missingDir));
}

// The last step fails: the complete setup cannot replace the output, which stays as it was.
TEST(PackerRefusal, OutputThatCannotBeReplacedStaysWithNoTemporaryLeft) {
    krtest::ScratchDir out;
    const std::wstring existing = out.file(L"setup.exe");
    krtest::writeFile(existing, "the previous setup");
    // Open without FILE_SHARE_DELETE, so the file cannot be replaced.
    const HANDLE held =
        CreateFileW(existing.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    const krtest::RunResult result = krtest::run(kPacker, {kPackage, existing});
    CloseHandle(held);
    EXPECT_EQ(result.exitCode, 1u);
    EXPECT_TRUE(contains(result.err, "kestrel-pack: Cannot move '")) << result.err;
    EXPECT_EQ(krtest::readFile(existing), "the previous setup");
    EXPECT_TRUE(tempFilesIn(out.path()).empty());
}

// Ctrl+C on the packer's console while it writes a setup of 256 MiB: it ends with the system's code for Ctrl+C,
// leaving the old output and no temporary file. The test takes a console of its own for the packer to share and
// lets the event pass it by.
TEST(PackerInterrupted, CtrlCLeavesTheOldOutputAndNoTemporaryFile) {
    krtest::ScratchDir out;
    const std::wstring existing = out.file(L"setup.exe");
    krtest::writeFile(existing, "the previous setup");
    const PHANDLER_ROUTINE passBy = [](DWORD) -> BOOL { return TRUE; };
    ASSERT_TRUE(SetConsoleCtrlHandler(passBy, TRUE));
    FreeConsole();
    ASSERT_TRUE(AllocConsole());
    krtest::StartedProgram packer(kPacker, {krtest::binPath(KR_BIG_MSI_FROM_BIN), existing});
    packer.resume();
    bool sent = false;
    while (!sent && WaitForSingleObject(packer.process(), 1) == WAIT_TIMEOUT) {
        for (const std::wstring& name : tempFilesIn(out.path())) {
            WIN32_FILE_ATTRIBUTE_DATA data = {};
            if (GetFileAttributesExW(out.file(name).c_str(), GetFileExInfoStandard, &data) &&
                (data.nFileSizeHigh != 0 || data.nFileSizeLow > (1u << 20))) {
                sent = GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0);
            }
        }
    }
    const krtest::RunResult result = packer.finish();
    FreeConsole();
    SetConsoleCtrlHandler(passBy, FALSE);
    EXPECT_TRUE(sent) << result.out;
    EXPECT_EQ(result.exitCode, static_cast<uint32_t>(STATUS_CONTROL_C_EXIT)) << result.err;
    EXPECT_EQ(krtest::readFile(existing), "the previous setup");
    EXPECT_TRUE(tempFilesIn(out.path()).empty());
}

std::wstring programFilesX86() {
    wchar_t path[MAX_PATH] = {};
    GetEnvironmentVariableW(L"ProgramFiles(x86)", path, MAX_PATH);
    return path;
}

TEST(PackedSetup, InstallsAndRemovesTheProduct) {
    krtest::ScratchDir scratch;
    const std::wstring setup = scratch.file(L"setup.exe");
    ASSERT_EQ(krtest::run(kPacker, {kPackage, setup}).exitCode, 0u);
    const std::wstring installDir = programFilesX86() + L"\\Kestrel Packtest";
    ASSERT_FALSE(krtest::exists(installDir)) << "left over from an earlier run";

    const krtest::RunResult install = krtest::run(setup, {L"/qn"});
    EXPECT_EQ(install.exitCode, 0u) << install.err;
    EXPECT_TRUE(install.dialogs.empty());
    EXPECT_EQ(krtest::readFile(installDir + L"\\packtest.txt"),
              "Kestrel Packtest: installed by a setup.exe that kestrel-pack made.\n");
    EXPECT_TRUE(krtest::exists(installDir + L"\\notes.txt"));

    const krtest::RunResult removal = krtest::run(setup, {L"uninstall"});
    EXPECT_EQ(removal.exitCode, 0u) << removal.err;
    EXPECT_FALSE(krtest::exists(installDir + L"\\packtest.txt"));
    EXPECT_FALSE(krtest::exists(installDir + L"\\notes.txt"));

    // Nothing left to remove: the installer's status for an unknown product, in full.
    EXPECT_EQ(krtest::run(setup, {L"uninstall"}).exitCode, static_cast<uint32_t>(ERROR_UNKNOWN_PRODUCT));
}

// A setup with one byte of its package changed stops before msiexec: exit code -1, one line on standard error,
// nothing installed and nothing left in its temporary directory; one box where someone can see it, none where
// nobody can.
TEST(PackedSetup, WithADamagedPackageInstallsNothing) {
    krtest::ScratchDir scratch;
    const std::wstring setup = scratch.file(L"damaged-setup.exe");
    ASSERT_EQ(krtest::run(kPacker, {kPackage, setup}).exitCode, 0u);
    std::string bytes = krtest::readFile(setup);
    {
        pack::MemorySource source(pack::ByteView{reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()});
        const pack::PeImage image(source);
        const pack::ResourceData* package =
            image.resources().find(pack::kResourceTypeRawData, pack::kPackageResource, 0);
        ASSERT_NE(package, nullptr);
        bytes[package->offset + package->size / 3] ^= 0x20;
    }
    krtest::writeFile(setup, bytes);
    const std::wstring installDir = programFilesX86() + L"\\Kestrel Packtest";
    const std::string message =
        "The installer package inside damaged-setup.exe is damaged; download damaged-setup.exe again";

    const krtest::HiddenDesktop hidden;
    ASSERT_TRUE(hidden.ready()) << GetLastError();
    krtest::ScratchDir temp;
    krtest::RunOptions unseen;
    unseen.setEnv = {{L"TMP", temp.path()}, {L"TEMP", temp.path()}};
    unseen.unsetEnv = {L"KESTREL_DEBUG"};
    unseen.desktop = hidden.name();
    unseen.timeoutMs = 20000;
    const krtest::RunResult result = krtest::run(setup, {L"/qn"}, unseen);
    EXPECT_FALSE(result.timedOut) << "the launcher waited on a box nobody can see";
    EXPECT_EQ(result.exitCode, 0xFFFFFFFFu);
    EXPECT_TRUE(result.dialogs.empty());
    EXPECT_EQ(result.err, message + "\r\n");
    EXPECT_FALSE(krtest::exists(installDir));
    EXPECT_TRUE(krtest::listDir(temp.path()).empty());

    krtest::RunOptions seen = unseen;
    seen.desktop.clear();
    const krtest::RunResult shown = krtest::run(setup, {L"/qn"}, seen);
    EXPECT_EQ(shown.exitCode, 0xFFFFFFFFu);
    ASSERT_EQ(shown.dialogs.size(), 1u);
    EXPECT_EQ(shown.dialogs[0].caption, L"damaged-setup.exe");
    EXPECT_EQ(utf8(shown.dialogs[0].text), message);
    EXPECT_FALSE(krtest::exists(installDir));
    EXPECT_TRUE(krtest::listDir(temp.path()).empty());
}

struct MemoryUse {
    SIZE_T before = 0; // private bytes when the work starts
    SIZE_T peak = 0;
};

// Private bytes (commit charge) around `work`. Wine keeps no peak of its own, so a thread samples the current
// value; on Windows the system's peak, which covers the whole process life, is taken as well.
template <class Work>
MemoryUse privateBytesDuring(Work&& work) {
    const auto counters = [] {
        PROCESS_MEMORY_COUNTERS values = {};
        values.cb = sizeof(values);
        GetProcessMemoryInfo(GetCurrentProcess(), &values, sizeof(values));
        return values;
    };
    MemoryUse use;
    use.before = counters().PagefileUsage;
    std::atomic<bool> done{false};
    std::atomic<SIZE_T> sampledPeak{use.before};
    std::thread sampler([&] {
        while (!done) {
            sampledPeak = std::max<SIZE_T>(sampledPeak, counters().PagefileUsage);
            Sleep(1);
        }
    });
    work();
    done = true;
    sampler.join();
    use.peak = std::max<SIZE_T>(sampledPeak, counters().PeakPagefileUsage);
    return use;
}

// Compares a file with bytes in memory a piece at a time, so a large file costs little private memory.
bool fileEquals(const std::wstring& path, const char* bytes, size_t size) {
    const HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    std::vector<char> piece(1 << 20);
    size_t offset = 0;
    DWORD count = 0;
    bool equal = file != INVALID_HANDLE_VALUE;
    while (equal && ReadFile(file, piece.data(), static_cast<DWORD>(piece.size()), &count, nullptr) && count > 0) {
        equal = offset + count <= size && std::memcmp(piece.data(), bytes + offset, count) == 0;
        offset += count;
    }
    CloseHandle(file);
    return equal && offset == size;
}

TEST(PackedSetup, LargePackageIsNotHeldTwiceInMemory) {
    const krtest::RecordingAppender log;
    krtest::ScratchDir scratch;
    const std::wstring bigPackage = krtest::binPath(KR_BIG_MSI_FROM_BIN);
    WIN32_FILE_ATTRIBUTE_DATA attributes = {};
    ASSERT_TRUE(GetFileAttributesExW(bigPackage.c_str(), GetFileExInfoStandard, &attributes));
    const size_t packageSize = attributes.nFileSizeLow;
    ASSERT_GT(packageSize, 256u << 20);

    pack::PackSummary summary;
    const MemoryUse memory = privateBytesDuring([&] {
        summary = pack::pack({utf8(kLauncher), utf8(bigPackage), utf8(scratch.file(L"big-setup.exe"))});
    });

    const double copies = static_cast<double>(memory.peak - memory.before) / static_cast<double>(packageSize);
    std::printf("package of %zu bytes; private bytes %zu before the pack, peak %zu (%.2f package sizes more)\n",
                packageSize, static_cast<size_t>(memory.before), static_cast<size_t>(memory.peak), copies);
    ASSERT_GT(memory.before, 0u) << "the memory counters are not read";
    // The package is written from its mapped view; the packer holds no copy of it.
    EXPECT_LT(copies, 0.5);
    EXPECT_EQ(summary.packageSize, packageSize);
    EXPECT_EQ(summary.productCode, utf8(KR_BIG_PRODUCT_CODE));

    const DataFile packed(scratch.file(L"big-setup.exe"));
    const HRSRC payload = FindResourceW(packed.handle(), L"msi", RT_RCDATA);
    ASSERT_NE(payload, nullptr);
    ASSERT_EQ(SizeofResource(packed.handle(), payload), packageSize);
    EXPECT_TRUE(fileEquals(bigPackage, static_cast<const char*>(LockResource(LoadResource(packed.handle(), payload))),
                           packageSize));
}

} // namespace
