// Tests of --info, --json and --extract on whole, damaged, digestless and foreign setups, and of setup icons.
#include "Crc32c.h"
#include "PackTest.h"
#include "pe/ImageWriter.h"
#include "pe/PeImage.h"
#include "resources/Icon.h"
#include "resources/SetupResources.h"
#include "resources/VersionBlock.h"
#include "setup/Packer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace {

using packtest::readFile;
using packtest::run;
using packtest::ScratchDir;
using packtest::writeFile;

const std::string kPacker = KR_TEST_PACKER;
const std::string kLauncher = KR_TEST_LAUNCHER;
const std::string kPackage = KR_TEST_PACKAGE;

// A packed setup, and copies of it with one byte of the package changed and, as an older packer wrote it, without
// the digest resource and the packer's version.
class SetupFiles : public ::testing::Test {
protected:
    void SetUp() override {
        pack::pack({kLauncher, kPackage, whole});
        const std::string bytes = readFile(whole);
        pack::MemorySource source(packtest::view(bytes));
        const pack::PeImage image(source);
        const pack::ResourceData* package =
            image.resources().find(pack::kResourceTypeRawData, pack::kPackageResource, 0);
        ASSERT_NE(package, nullptr);
        std::string changed = bytes;
        changed[package->offset + package->size / 2] ^= 0x01;
        writeFile(damaged, changed);
        pack::ResourceTree resources = image.resources();
        resources.remove(pack::kResourceTypeRawData, pack::kDigestResource, 0);
        const uint16_t language = resources.languages(pack::kResourceTypeVersion, pack::kVersionResource).at(0);
        pack::VersionInfo olderVersion;
        olderVersion.language = language;
        olderVersion.strings = {{u"ProductName", u"Kestrel Packtest"}};
        const auto olderBlock = std::make_shared<pack::BufferSource>(pack::buildVersionBlock(olderVersion));
        resources.put(pack::kResourceTypeVersion, pack::kVersionResource, language, pack::ResourceData::of(olderBlock));
        packtest::StringSink sink;
        pack::writeImage(image, resources, sink);
        writeFile(digestless, sink.bytes());
    }

    static std::string digestOf(const std::string& bytes) {
        Crc32c crc;
        crc.update(bytes.data(), bytes.size());
        return crc.text();
    }

    ScratchDir dir;
    const std::string whole = dir.file("setup.exe");
    const std::string damaged = dir.file("damaged.exe");
    const std::string digestless = dir.file("digestless.exe");
    const std::string packageBytes = readFile(kPackage);
};

TEST_F(SetupFiles, InfoDescribesTheSetupAndJsonSaysTheSame) {
    const std::string digest = digestOf(packageBytes);
    std::string size = std::to_string(packageBytes.size());
    size.insert(size.size() - 3, ",");
    const packtest::RunResult info = run(kPacker, {"--info", whole});
    EXPECT_EQ(info.exitCode, 0) << info.err;
    EXPECT_EQ(info.err, "");
    EXPECT_EQ(info.out, "Setup:        " + whole +
                            "\n"
                            "Product:      Kestrel Packtest\n"
                            "Version:      2.5.17\n"
                            "Manufacturer: Kestrel Pr\u00fcfstand\n"
                            "Product code: " KR_TEST_PRODUCT_CODE "\n"
                            "Package:      " +
                            size + " bytes\nDigest:       " + digest +
                            ", the package matches it\n"
                            "Signature:    absent\n"
                            "Icon:         none\n"
                            "Packed by:    Kestrel " KR_TEST_VERSION "\n");

    const packtest::RunResult json = run(kPacker, {whole, "--json", "--info"});
    EXPECT_EQ(json.exitCode, 0) << json.err;
    EXPECT_EQ(json.out, "{\"setup\":\"" + whole +
                            "\",\"productName\":\"Kestrel Packtest\",\"productVersion\":\"2.5.17\","
                            "\"manufacturer\":\"Kestrel Pr\u00fcfstand\",\"productCode\":\"" KR_TEST_PRODUCT_CODE
                            "\",\"packageSize\":" +
                            std::to_string(packageBytes.size()) + ",\"digest\":\"" + digest +
                            "\",\"packageDigest\":\"" + digest +
                            "\",\"digestMatches\":true,\"signed\":false,\"icon\":null,"
                            "\"packerVersion\":\"" KR_TEST_VERSION "\"}\n");

    // Packed by other means, or by an older packer: whole, with nothing to check.
    const packtest::RunResult older = run(kPacker, {"--info", digestless});
    EXPECT_EQ(older.exitCode, 0) << older.err;
    EXPECT_NE(older.out.find("\nDigest:       no digest\n"), std::string::npos) << older.out;
    EXPECT_NE(older.out.find("\nPacked by:    (not recorded)\n"), std::string::npos) << older.out;
    const packtest::RunResult olderJson = run(kPacker, {"--info", "--json", digestless});
    EXPECT_NE(olderJson.out.find(",\"digest\":null,\"packageDigest\":\"" + digest + "\",\"digestMatches\":null,"),
              std::string::npos)
        << olderJson.out;
    EXPECT_NE(olderJson.out.find(",\"packerVersion\":null}"), std::string::npos) << olderJson.out;
}

std::vector<std::string> infoArgs(const std::string& file, bool json) {
    return json ? std::vector<std::string>{"--info", "--json", file} : std::vector<std::string>{"--info", file};
}

TEST_F(SetupFiles, InfoOnADamagedOrForeignFileExitsOneAndSaysWhy) {
    const std::string digest = digestOf(packageBytes);
    const std::string damage =
        "kestrel-pack: The installer package inside '" + damaged + "' is damaged: its digest is crc32c:";
    for (const bool json : {false, true}) {
        const packtest::RunResult result = run(kPacker, infoArgs(damaged, json));
        EXPECT_EQ(result.exitCode, 1);
        EXPECT_EQ(result.err.substr(0, damage.size()), damage);
        EXPECT_NE(result.err.find(", the setup carries " + digest + "\n"), std::string::npos) << result.err;
        const std::string said = json ? "\"digestMatches\":false" : digest + ", the package does NOT match it (crc32c:";
        EXPECT_NE(result.out.find(said), std::string::npos) << result.out;
    }

    const std::string text = dir.file("notes.exe");
    writeFile(text, "not an executable");
    const std::string cut = dir.file("cut.exe");
    const size_t wholeSize = readFile(whole).size();
    writeFile(cut, readFile(whole).substr(0, wholeSize - 100));
    const std::string missing = dir.file("missing.exe");
    const auto notASetup = [](const std::string& file, const std::string& reason) {
        return "'" + file + "' is not a Kestrel setup: " + reason;
    };
    const std::vector<std::pair<std::string, std::string>> foreign = {
        {kLauncher, notASetup(kLauncher, "it carries no installer package (no \"msi\" resource)")},
        {text, notASetup(text, "it is not a Windows executable")},
        {cut, notASetup(cut, "it is incomplete: it has " + std::to_string(wholeSize - 100) +
                                 " bytes, its headers need " + std::to_string(wholeSize))},
        {missing, "The setup '" + missing + "' does not exist"},
        {dir.path(), "The setup '" + dir.path() + "' is a directory"},
    };
    const std::string jsonFile = dir.file("out.json");
    for (const auto& [file, message] : foreign) {
        const packtest::RunResult result = run(kPacker, infoArgs(file, false));
        EXPECT_EQ(result.exitCode, 1) << file;
        EXPECT_EQ(result.err, "kestrel-pack: " + message + "\n");
        EXPECT_EQ(result.out, "");
        // With --json, the same on standard error, and an object on standard output that a JSON reader takes.
        const packtest::RunResult json = run(kPacker, infoArgs(file, true));
        EXPECT_EQ(json.exitCode, 1) << file;
        EXPECT_EQ(json.err, result.err);
        std::string escaped = message;
        for (size_t at = escaped.find('"'); at != std::string::npos; at = escaped.find('"', at + 2)) {
            escaped.insert(at, 1, '\\');
        }
        EXPECT_EQ(json.out, "{\"setup\":\"" + file + "\",\"error\":\"" + escaped + "\"}\n");
        writeFile(jsonFile, json.out);
        EXPECT_EQ(run("python3", {"-m", "json.tool", jsonFile}).exitCode, 0) << json.out;
    }
}

// A version block may name a text twice, in any case, as anyone may write one: --info shows the first, as
// Windows' version functions do.
TEST_F(SetupFiles, InfoShowsTheFirstOfATextNamedTwice) {
    const std::string bytes = readFile(whole);
    pack::MemorySource source(packtest::view(bytes));
    const pack::PeImage image(source);
    pack::ResourceTree resources = image.resources();
    pack::VersionInfo info;
    info.language = resources.languages(pack::kResourceTypeVersion, pack::kVersionResource).at(0);
    info.strings = {{u"PRODUCTNAME", u"Trusted"}, {u"ProductVersion", u"1.0"}, {u"ProductName", u" Corp Updater"},
                    {u"ProductVersion", u"9.9"}};
    resources.put(pack::kResourceTypeVersion, pack::kVersionResource, info.language,
                  pack::ResourceData::of(std::make_shared<pack::BufferSource>(pack::buildVersionBlock(info))));
    packtest::StringSink sink;
    pack::writeImage(image, resources, sink);
    const std::string crafted = dir.file("crafted.exe");
    writeFile(crafted, sink.bytes());

    const packtest::RunResult result = run(kPacker, {"--info", "--json", crafted});
    EXPECT_EQ(result.exitCode, 0) << result.err;
    EXPECT_NE(result.out.find("\"productName\":\"Trusted\",\"productVersion\":\"1.0\","), std::string::npos)
        << result.out;
}

TEST_F(SetupFiles, ExtractGivesThePackageAndRefusesADamagedOneUnlessForced) {
    const ScratchDir out;
    const std::string extracted = out.file("product.msi");
    writeFile(extracted, "an older package");
    const packtest::RunResult result = run(kPacker, {"--extract", whole, extracted});
    EXPECT_EQ(result.exitCode, 0) << result.err;
    EXPECT_EQ(result.err, "");
    EXPECT_NE(result.out.find(" to " + extracted + "\n"), std::string::npos) << result.out;
    EXPECT_TRUE(readFile(extracted) == packageBytes);
    ASSERT_EQ(run(kPacker, {"--extract", digestless, out.file("digestless.msi")}).exitCode, 0);
    EXPECT_TRUE(readFile(out.file("digestless.msi")) == packageBytes);

    writeFile(extracted, "an older package");
    const packtest::RunResult refused = run(kPacker, {"--extract", damaged, extracted});
    EXPECT_EQ(refused.exitCode, 1);
    EXPECT_NE(refused.err.find("is damaged: its digest is crc32c:"), std::string::npos) << refused.err;
    EXPECT_NE(refused.err.find("; nothing was extracted (--force extracts it all the same)\n"), std::string::npos);
    EXPECT_EQ(refused.out, "");
    EXPECT_EQ(readFile(extracted), "an older package");
    EXPECT_EQ(out.list(), (std::vector<std::string>{"digestless.msi", "product.msi"}));

    const packtest::RunResult forced = run(kPacker, {"--force", "--extract", damaged, extracted});
    EXPECT_EQ(forced.exitCode, 0) << forced.err;
    EXPECT_NE(forced.err.find("; extracted all the same (--force)\n"), std::string::npos) << forced.err;
    const std::string forcedBytes = readFile(extracted);
    ASSERT_EQ(forcedBytes.size(), packageBytes.size());
    EXPECT_EQ(std::mismatch(forcedBytes.begin(), forcedBytes.end(), packageBytes.begin()).first - forcedBytes.begin(),
              static_cast<long>(packageBytes.size() / 2));

    const packtest::RunResult onItself = run(kPacker, {"--extract", whole, whole});
    EXPECT_EQ(onItself.exitCode, 1);
    EXPECT_EQ(onItself.err, "kestrel-pack: The output '" + whole + "' would replace an input of the packer\n");
}

// A launcher with an icon group of its own, an image no group names, and a second group that names an image it
// lacks: the setup's icon takes the first group's place, its images go, the other image keeps its number, and no new
// image takes the number the second group names.
TEST(SetupIcon, ReplacesTheLaunchersOwnGroupAndItsImages) {
    const ScratchDir dir;
    const std::string launcherBytes = readFile(kLauncher);
    pack::MemorySource launcherSource(packtest::view(launcherBytes));
    const pack::PeImage launcher(launcherSource);
    const std::string iconBytes = readFile(KR_TEST_ICON);
    pack::MemorySource iconSource(packtest::view(iconBytes));
    const std::vector<pack::IconImage> images = pack::readIcon(iconSource);
    pack::ResourceTree resources = launcher.resources();
    pack::placeIconGroup({images[0], images[1]}, pack::readIconGroups(resources), resources);
    resources.put(pack::kResourceTypeIcon, 3, 0, images[2].data);
    // A group directory of one entry, naming image 4.
    std::vector<uint8_t> secondGroup = {0, 0, 1, 0, 1, 0, 16, 16, 0, 0, 1, 0, 32, 0, 40, 0, 0, 0, 4, 0};
    resources.put(pack::kResourceTypeIconGroup, 2, 0,
                  pack::ResourceData::of(std::make_shared<pack::BufferSource>(std::move(secondGroup))));
    packtest::StringSink sink;
    pack::writeImage(launcher, resources, sink);
    writeFile(dir.file("iconic-launcher.exe"), sink.bytes());

    const std::string setup = dir.file("setup.exe");
    pack::pack({dir.file("iconic-launcher.exe"), kPackage, setup, pack::IconChoice::FromFile, KR_TEST_ICON});
    const std::string setupBytes = readFile(setup);
    pack::MemorySource setupSource(packtest::view(setupBytes));
    const pack::PeImage packed(setupSource);
    const pack::ResourceTree::Types& types = packed.resources().types();
    ASSERT_EQ(types.at(pack::kResourceTypeIconGroup).size(), 2u);
    std::vector<uint16_t> numbers;
    for (const auto& entry : types.at(pack::kResourceTypeIcon)) {
        numbers.push_back(entry.first.number);
    }
    EXPECT_EQ(numbers, (std::vector<uint16_t>{1, 2, 3, 5, 6}));
    EXPECT_EQ(pack::describeIconSizes(pack::firstIconGroupSizes(packed.resources())), "16x16, 32x32, 48x48, 256x256");
    const pack::ResourceData* last = packed.resources().find(pack::kResourceTypeIcon, 6, 0);
    ASSERT_NE(last, nullptr);
    const pack::ResourceData& source = images[3].data;
    EXPECT_TRUE(setupBytes.substr(last->offset, last->size) == iconBytes.substr(source.offset, source.size));
}

// An icon of many images: the report and --info name the first sizes and count the others, and the setup keeps all.
TEST(SetupIcon, SummaryNamesTheFirstSizesAndCountsTheRest) {
    const ScratchDir dir;
    const uint16_t count = 1000;
    // Each image a bitmap header alone, its size in the entry from 1 to 255 pixels, then 0 (256) and round again.
    std::string icon =
        std::string("\0\0\1\0", 4) + std::string(1, static_cast<char>(count & 0xFF)) + static_cast<char>(count >> 8);
    std::string images;
    for (uint32_t i = 0; i < count; ++i) {
        std::string entry(16, '\0');
        entry[0] = entry[1] = static_cast<char>((i + 1) % 256);
        pack::putLe32(reinterpret_cast<uint8_t*>(&entry[8]), 40);
        pack::putLe32(reinterpret_cast<uint8_t*>(&entry[12]), 6 + 16 * count + 40 * i);
        icon += entry;
        images += std::string(1, '\x28') + std::string(39, '\0');
    }
    writeFile(dir.file("many.ico"), icon + images);
    const std::string setup = dir.file("setup.exe");
    const packtest::RunResult packed =
        run(kPacker, {"--launcher", kLauncher, "--icon", dir.file("many.ico"), kPackage, setup});
    EXPECT_EQ(packed.exitCode, 0) << packed.err;
    const std::string summary = "1x1, 2x2, 3x3, 4x4, 5x5, 6x6, 7x7, 8x8 and 992 more";
    EXPECT_NE(packed.out.find("\nIcon: " + summary + " from '" + dir.file("many.ico") + "'\n"), std::string::npos)
        << packed.out;
    const packtest::RunResult info = run(kPacker, {"--info", setup});
    EXPECT_NE(info.out.find("\nIcon:         " + summary + "\n"), std::string::npos) << info.out;
    const std::string bytes = readFile(setup);
    pack::MemorySource source(packtest::view(bytes));
    EXPECT_EQ(pack::firstIconGroupSizes(pack::PeImage(source).resources()).size(), count);
}

} // namespace
