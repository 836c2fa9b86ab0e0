// The bytes of a fixed set of setups, pinned: a launcher, a package and icons made here, so that only the packer
// can change what comes out.
#include "PackTest.h"
#include "pe/ImageWriter.h"
#include "pe/ResourceLayout.h"
#include "resources/Icon.h"
#include "resources/VersionBlock.h"
#include "setup/LauncherImage.h"
#include "setup/Packer.h"
#include "setup/ProductIcon.h"
#include "setup/SetupReader.h"

#include <gtest/gtest.h>

#include <memory>
#include <random>
#include <string>
#include <vector>

namespace {

using namespace pack;

constexpr uint32_t kFileAlignment = 0x200;
constexpr uint32_t kSectionAlignment = 0x1000;
constexpr uint32_t kCodeRva = 0x1000;
constexpr uint32_t kResourceRva = 0x2000;
constexpr uint16_t kEnglish = 0x0409;

std::shared_ptr<ByteSource> sourceOf(const std::string& bytes) {
    return std::make_shared<BufferSource>(std::vector<uint8_t>(bytes.begin(), bytes.end()));
}

ResourceData datum(const std::string& bytes) { return ResourceData::of(sourceOf(bytes)); }

std::string le16(uint16_t value) { return {static_cast<char>(value), static_cast<char>(value >> 8)}; }
std::string le32(uint32_t value) { return le16(static_cast<uint16_t>(value)) + le16(static_cast<uint16_t>(value >> 16)); }
std::string be32(uint32_t value) {
    return {static_cast<char>(value >> 24), static_cast<char>(value >> 16), static_cast<char>(value >> 8),
            static_cast<char>(value)};
}

// A bitmap icon image of `width` pixels square: its header, its colours and its mask, in a pattern of `seed`.
std::string bitmap(uint8_t width, uint8_t seed) {
    std::string image = le32(40) + le32(width) + le32(width * 2u) + le16(1) + le16(32) + std::string(24, '\0');
    for (size_t i = 0; i < width * width * 4u + width * 4u; ++i) {
        image += static_cast<char>(i * seed + seed);
    }
    return image;
}

// A PNG image as far as the packer reads one: the signature, the header chunk, a data chunk and the end chunk.
std::string png(uint32_t width) {
    return std::string("\x89PNG\r\n\x1A\n", 8) + be32(13) + "IHDR" + be32(width) + be32(width) +
           std::string("\x08\x06\0\0\0", 5) + be32(0x5A5A5A5A) + be32(5) + "IDATxxxxx" + be32(1) + be32(0) + "IEND" +
           be32(0xAE426082);
}

struct IconPart {
    uint8_t width; // 0 for 256
    std::string bytes;
};

// An .ico file of `parts`, in their order.
std::string icoFile(const std::vector<IconPart>& parts) {
    std::string directory = le16(0) + le16(1) + le16(static_cast<uint16_t>(parts.size()));
    std::string images;
    uint32_t offset = static_cast<uint32_t>(6 + 16 * parts.size());
    for (const IconPart& part : parts) {
        directory += std::string{static_cast<char>(part.width), static_cast<char>(part.width), 0, 0} + le16(1) +
                     le16(32) + le32(static_cast<uint32_t>(part.bytes.size())) + le32(offset);
        images += part.bytes;
        offset += static_cast<uint32_t>(part.bytes.size());
    }
    return directory + images;
}

// An icon group of `parts` under the image numbers `ids`.
std::string iconGroup(const std::vector<IconPart>& parts, const std::vector<uint16_t>& ids) {
    std::string group = le16(0) + le16(1) + le16(static_cast<uint16_t>(parts.size()));
    for (size_t i = 0; i < parts.size(); ++i) {
        group += std::string{static_cast<char>(parts[i].width), static_cast<char>(parts[i].width), 0, 0} + le16(1) +
                 le16(32) + le32(static_cast<uint32_t>(parts[i].bytes.size())) + le16(ids[i]);
    }
    return group;
}

// The section that `tree` lays out to at kResourceRva, data and all.
std::string resourceSection(const ResourceTree& tree) {
    const ResourceSectionLayout layout = layoutResourceSection(tree, kResourceRva);
    std::string bytes(layout.tables.begin(), layout.tables.end());
    for (const PlacedResource& placed : layout.data) {
        bytes.resize(placed.offset, '\0');
        const ByteView data = placed.data.source->read(placed.data.offset, placed.data.size);
        bytes.append(reinterpret_cast<const char*>(data.data), data.size);
    }
    return bytes;
}

void putSection(std::string& image, size_t at, const char* name, size_t virtualSize, uint32_t rva, size_t rawSize,
                size_t rawPointer, uint32_t characteristics) {
    image.replace(at, 8, std::string(name) + std::string(8 - std::string(name).size(), '\0'));
    image.replace(at + 8, 16,
                  le32(static_cast<uint32_t>(virtualSize)) + le32(rva) + le32(static_cast<uint32_t>(rawSize)) +
                      le32(static_cast<uint32_t>(rawPointer)));
    image.replace(at + 36, 4, le32(characteristics));
}

// A 64-bit launcher as the linker lays one out: code, the resources of `tree`, then base relocations.
std::string launcherImage(const ResourceTree& tree) {
    const std::string resources = resourceSection(tree);
    const size_t resourceRaw = alignUp(resources.size(), kFileAlignment);
    const uint32_t relocationRva = static_cast<uint32_t>(kResourceRva + alignUp(resources.size(), kSectionAlignment));
    const size_t codeAt = kFileAlignment;
    const size_t resourcesAt = codeAt + kFileAlignment;
    const size_t relocationsAt = resourcesAt + resourceRaw;
    std::string image(relocationsAt + kFileAlignment, '\0');
    image.replace(0, 2, "MZ");
    image.replace(0x3C, 4, le32(0x40));
    // The signature, then the file header: x64, three sections, the optional header's size, an executable.
    image.replace(0x40, 24, std::string("PE\0\0", 4) + le16(0x8664) + le16(3) + std::string(12, '\0') + le16(240) +
                                le16(0x22));
    const size_t optional = 0x58;
    image.replace(optional, 2, le16(0x20B));
    image.replace(optional + 8, 4, le32(static_cast<uint32_t>(resourceRaw + kFileAlignment)));
    image.replace(optional + 16, 4, le32(kCodeRva));
    image.replace(optional + 24, 8, le32(0x40000000) + le32(1));
    image.replace(optional + 32, 8, le32(kSectionAlignment) + le32(kFileAlignment));
    image.replace(optional + 40, 2, le16(6));
    image.replace(optional + 48, 2, le16(6));
    image.replace(optional + 56, 8, le32(relocationRva + kSectionAlignment) + le32(kFileAlignment));
    image.replace(optional + 68, 4, le16(2) + le16(0x8160));
    image.replace(optional + 108, 4, le32(16));
    image.replace(optional + 112 + 2 * 8, 8, le32(kResourceRva) + le32(static_cast<uint32_t>(resources.size())));
    image.replace(optional + 112 + 5 * 8, 8, le32(relocationRva) + le32(12));
    const size_t table = optional + 240;
    putSection(image, table, ".text", 1, kCodeRva, kFileAlignment, codeAt, 0x60000020);
    putSection(image, table + 40, ".rsrc", resources.size(), kResourceRva, resourceRaw, resourcesAt, 0x40000040);
    putSection(image, table + 80, ".reloc", 12, relocationRva, kFileAlignment, relocationsAt, 0x42000040);
    image[codeAt] = '\xC3';
    image.replace(resourcesAt, resources.size(), resources);
    // One block: the code page, its size, a 64-bit address at its start, and padding.
    image.replace(relocationsAt, 12, le32(kCodeRva) + le32(12) + le16(0xA000) + le16(0));
    return image;
}

// The launcher of the pinned set: a version block that marks it, a manifest, a text-named datum and two icon
// groups, the first by name, sharing an image.
std::string pinnedLauncher() {
    ResourceTree tree;
    VersionInfo version;
    version.version = {1, 0, 0, 0};
    version.language = kEnglish;
    version.strings = {{u"CompanyName", u"Kestrel"}, {u"KestrelLauncher", u"1"}};
    const std::vector<uint8_t> block = buildVersionBlock(version);
    tree.put(16, 1, kEnglish, datum(std::string(block.begin(), block.end())));
    tree.put(24, 1, kEnglish, datum("<assembly manifestVersion=\"1.0\"/>"));
    tree.put(10, u"CONFIG", 0, datum("kestrel"));
    const IconPart small{16, bitmap(16, 3)};
    const IconPart large{32, bitmap(32, 5)};
    tree.put(kResourceTypeIcon, 1, kEnglish, datum(small.bytes));
    tree.put(kResourceTypeIcon, 2, kEnglish, datum(large.bytes));
    tree.put(kResourceTypeIconGroup, u"KR_MAIN", kEnglish, datum(iconGroup({small, large}, {1, 2})));
    tree.put(kResourceTypeIconGroup, 1, kEnglish, datum(iconGroup({large}, {2})));
    return launcherImage(tree);
}

std::string pinnedPackage() {
    std::mt19937 random(26);
    std::string bytes(100003, '\0');
    for (char& c : bytes) {
        c = static_cast<char>(random());
    }
    return bytes;
}

std::string sha256(const std::string& path) {
    const packtest::RunResult result = packtest::run("sha256sum", {path});
    return result.exitCode == 0 ? result.out.substr(0, 64) : "sha256sum failed: " + result.err;
}

TEST(PackedSetup, AFixedSetPacksToThePinnedBytes) {
    const packtest::ScratchDir scratch;
    const std::string launcherBytes = pinnedLauncher();
    const std::string packageBytes = pinnedPackage();
    packtest::writeFile(scratch.file("launcher.exe"), launcherBytes);
    packtest::writeFile(scratch.file("icon.ico"), icoFile({{16, bitmap(16, 7)}, {32, bitmap(32, 11)}, {0, png(256)}}));
    const std::shared_ptr<ByteSource> package = sourceOf(packageBytes);
    const LauncherImage launcher(sourceOf(launcherBytes), scratch.file("launcher.exe"));
    const Product described{"Kestrel Packtest", "2.5.17", "Kestrel Pr\u00fcfstand",
                            "{6F1C2B9E-4D7A-4E35-A0B8-93C5D2E1F604}", ""};
    const Product bare{"", "", "", "{6F1C2B9E-4D7A-4E35-A0B8-93C5D2E1F604}", ""};

    struct Case {
        const char* setup;
        IconChoice icon;
        const char* iconFile;
        const Product& product;
        const char* icons;
        const char* digest;
    };
    const Case cases[] = {
        {"setup.exe", IconChoice::None, "", described, "16x16, 32x32",
         "5e2c678228326f8a3de881d2c57d019c66925814da56a83a9875b5570bd1eb6f"},
        {"Kestrel Packtest Setup.exe", IconChoice::FromFile, "icon.ico", described, "16x16, 32x32, 256x256",
         "5fb0c3d807018bc4a83428df97578d0c759cee1c2739f4945cb31b586644360f"},
        {"from-executable.exe", IconChoice::FromFile, "launcher.exe", described, "16x16, 32x32",
         "13e267a6c27a3ab0b3ba5a93476bbf057503c0a26ec5072ade1640d6f3c68632"},
        {"bare", IconChoice::FromFile, "icon.ico", bare, "16x16, 32x32, 256x256",
         "d48a251f4c3bcc4d6f9067cd7bdd7038b441078fe590de9e176bd240c44ceb7d"},
    };
    for (const Case& each : cases) {
        PackRequest request;
        request.icon = each.icon;
        request.iconPath = scratch.file(each.iconFile);
        ProductIcon icon(request, "", "");
        launcher.fitIcon(icon);
        packtest::StringSink sink;
        launcher.writeSetup(package, each.product, each.setup, sink, &icon);
        // A setup that reads back whole, with the icon asked for.
        OpenSetup setup = openSetup(sourceOf(sink.bytes()), each.setup);
        readPackage(setup, nullptr);
        EXPECT_TRUE(setup.facts.packageIsWhole()) << each.setup;
        EXPECT_EQ(describeIconSizes(setup.facts.iconSizes), each.icons) << each.setup;
        packtest::writeFile(scratch.file("out.exe"), sink.bytes());
        EXPECT_EQ(sha256(scratch.file("out.exe")), each.digest) << each.setup;
    }
}

// What a tree will write stays alive as long as the tree, and no longer: the icon's file and the group directory
// made for it outlive the images read from them, and the writer copies them byte for byte.
TEST(PackedSetup, TheResourceTreeHoldsTheSourcesItWrites) {
    const std::string launcherBytes = pinnedLauncher();
    const std::vector<IconPart> parts = {{16, bitmap(16, 7)}, {0, png(256)}};
    std::shared_ptr<ByteSource> icon = sourceOf(icoFile(parts));
    const std::weak_ptr<ByteSource> iconWatch = icon;
    const PeImage launcher(sourceOf(launcherBytes));
    auto resources = std::make_unique<ResourceTree>(launcher.resources());
    {
        const std::vector<IconImage> images = readIcon(std::move(icon));
        placeIconGroup(images, readIconGroups(*resources), *resources);
    }
    ASSERT_FALSE(iconWatch.expired());
    const std::weak_ptr<ByteSource> groupWatch = resources->first(kResourceTypeIconGroup, u"KR_MAIN")->second.source;
    ASSERT_FALSE(groupWatch.expired());

    packtest::StringSink sink;
    writeImage(launcher, *resources, sink);
    resources.reset();
    EXPECT_TRUE(iconWatch.expired());
    EXPECT_TRUE(groupWatch.expired());
    const PeImage written(sourceOf(sink.bytes()));
    // Image 2 stays the second group's; the first group's own image 1 goes, and its number is free again.
    const uint16_t numbers[] = {1, 3};
    for (size_t i = 0; i < parts.size(); ++i) {
        const ResourceData* image = written.resources().find(kResourceTypeIcon, numbers[i], 0);
        ASSERT_NE(image, nullptr) << i;
        EXPECT_EQ(sink.bytes().substr(image->offset, image->size), parts[i].bytes) << i;
    }
}

} // namespace
