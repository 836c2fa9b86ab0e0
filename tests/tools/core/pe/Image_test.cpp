// Tests of the packer's image code: resource section layout, checksum, and a setup read back.
#include "PackError.h"
#include "PackTest.h"
#include "pe/Checksum.h"
#include "pe/PeImage.h"
#include "pe/ResourceLayout.h"
#include "setup/Packer.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

namespace {

using namespace pack;
using packtest::readFile;
using packtest::view;

// The textbook form: every 16-bit word added with its carry folded back at once, the checksum field skipped.
uint32_t referenceChecksum(const std::string& bytes, size_t skipped = std::string::npos) {
    uint32_t sum = 0;
    for (size_t i = 0; i < bytes.size(); i += 2) {
        if (skipped != std::string::npos && i >= skipped && i < skipped + 4) {
            continue;
        }
        sum += static_cast<uint8_t>(bytes[i]) | (i + 1 < bytes.size() ? static_cast<uint8_t>(bytes[i + 1]) << 8 : 0);
        sum = (sum & 0xFFFF) + (sum >> 16);
    }
    return sum + static_cast<uint32_t>(bytes.size());
}

uint32_t le32(const std::string& bytes, size_t at) { return getLe32(reinterpret_cast<const uint8_t*>(&bytes[at])); }

std::string bytesOf(const ResourceData& data) {
    const ByteView piece = data.source->read(data.offset, data.size);
    return std::string(reinterpret_cast<const char*>(piece.data), piece.size);
}

TEST(ImageChecksum, PiecesOfAnySizeSumAsTheWholeFile) {
    std::mt19937 random(7);
    std::string noise(100003, '\0');
    for (char& c : noise) {
        c = static_cast<char>(random());
    }
    // All ones carry on every word.
    for (const std::string& bytes : {noise, std::string(4099, '\xFF'), std::string()}) {
        ImageChecksum checksum;
        size_t piece = 1;
        for (size_t done = 0; done < bytes.size(); piece = piece * 3 % 1021 + 1) {
            const size_t count = std::min(piece, bytes.size() - done);
            checksum.add(ByteView{reinterpret_cast<const uint8_t*>(bytes.data()) + done, count});
            done += count;
        }
        EXPECT_EQ(checksum.value(), referenceChecksum(bytes)) << bytes.size() << " bytes";
    }
}

// One directory of a laid-out section as the loader reads it: entries in order, with their identifiers.
struct Entry {
    std::u16string name; // empty for a number
    uint32_t number = 0;
    uint32_t target = 0;
};

std::vector<Entry> readDirectory(const std::vector<uint8_t>& tables, uint32_t at, size_t* named) {
    *named = getLe16(&tables[at + 12]);
    const size_t count = *named + getLe16(&tables[at + 14]);
    std::vector<Entry> entries;
    for (size_t i = 0; i < count; ++i) {
        const uint8_t* entry = &tables[at + 16 + i * 8];
        Entry read;
        if (getLe32(entry) & 0x80000000u) {
            const uint32_t text = getLe32(entry) & 0x7FFFFFFFu;
            for (uint16_t k = 0; k < getLe16(&tables[text]); ++k) {
                read.name += static_cast<char16_t>(getLe16(&tables[text + 2 + k * 2]));
            }
        } else {
            read.number = getLe32(entry);
        }
        read.target = getLe32(entry + 4);
        entries.push_back(read);
    }
    return entries;
}

TEST(ResourceLayout, NamesComeBeforeNumbersAndEveryDatumIsAlignedAfterTheTables) {
    const std::string bytes = "0123456789abcdefghijklmnopqrstuvwxyz";
    MemorySource source(view(bytes));
    ResourceTree tree;
    const auto datum = [&source](uint64_t offset, uint32_t size, uint32_t codePage = 0) {
        return ResourceData{borrowed(source), offset, size, codePage};
    };
    tree.put(10, u"zeta", 0, datum(0, 1));
    tree.put(10, 5, 0, datum(1, 3));
    tree.put(10, u"beta", 0, datum(4, 17, 1252));
    tree.put(10, u"Alpha", 0, datum(21, 0));
    tree.put(10, 1, 0, datum(21, 5));
    tree.put(u"CUSTOM", 7, 0, datum(26, 10));
    tree.put(16, 1, 0x409, datum(0, 2));
    tree.put(16, 1, 0x407, datum(2, 2));
    constexpr uint32_t kRva = 0x5000;
    const ResourceSectionLayout layout = layoutResourceSection(tree, kRva);
    const std::vector<uint8_t>& tables = layout.tables;

    size_t named = 0;
    const std::vector<Entry> types = readDirectory(tables, 0, &named);
    ASSERT_EQ(types.size(), 3u);
    EXPECT_EQ(named, 1u);
    EXPECT_EQ(types[0].name, u"CUSTOM");
    EXPECT_EQ(types[1].number, 10u);
    EXPECT_EQ(types[2].number, 16u);
    const std::vector<Entry> names = readDirectory(tables, types[1].target & 0x7FFFFFFFu, &named);
    EXPECT_EQ(named, 3u);
    std::vector<std::u16string> order;
    for (const Entry& entry : names) {
        order.push_back(entry.name.empty() ? u"#" + std::u16string(1, static_cast<char16_t>(u'0' + entry.number))
                                           : entry.name);
    }
    EXPECT_EQ(order, (std::vector<std::u16string>{u"Alpha", u"beta", u"zeta", u"#1", u"#5"}));
    const std::vector<Entry> versions = readDirectory(
        tables, readDirectory(tables, types[2].target & 0x7FFFFFFFu, &named)[0].target & 0x7FFFFFFFu, &named);
    ASSERT_EQ(versions.size(), 2u);
    EXPECT_EQ(versions[0].number, 0x407u);
    EXPECT_EQ(versions[1].number, 0x409u);

    // Every leaf: a data entry whose address is the section's plus an aligned offset after the tables, in
    // ascending order without overlap, with the datum's size and code page.
    ASSERT_EQ(layout.data.size(), 8u);
    uint64_t end = tables.size();
    for (const PlacedResource& placed : layout.data) {
        EXPECT_EQ(placed.offset % 8, 0u);
        EXPECT_GE(placed.offset, end);
        end = placed.offset + placed.data.size;
    }
    EXPECT_EQ(layout.size, end);
    const uint8_t* beta = &tables[readDirectory(tables, names[1].target & 0x7FFFFFFFu, &named)[0].target];
    EXPECT_EQ(getLe32(beta + 4), 17u);
    EXPECT_EQ(getLe32(beta + 8), 1252u);
    const auto placedBeta = std::find_if(layout.data.begin(), layout.data.end(),
                                         [](const PlacedResource& placed) { return placed.data.size == 17; });
    EXPECT_EQ(getLe32(beta), kRva + placedBeta->offset);

    // A name no reader takes is refused, not cut to its 16-bit length.
    tree.put(10, std::u16string(0x10000, u'n'), 0, datum(0, 1));
    try {
        layoutResourceSection(tree, kRva);
        ADD_FAILURE() << "a name of 65536 characters was laid out";
    } catch (const FormatError& error) {
        EXPECT_STREQ(error.what(), "a resource name would be longer than 65535 characters");
    }
}

// The launcher's sections, headers and resources against the setup's: what moved, moved whole.
TEST(PackedSetup, ReadsBackAsTheLauncherWithThePackageItsCodeAndAValidChecksum) {
    const packtest::ScratchDir scratch;
    const PackSummary summary = pack::pack({KR_TEST_LAUNCHER, KR_TEST_PACKAGE, scratch.file("setup.exe")});
    EXPECT_EQ(summary.productName, "Kestrel Packtest");
    EXPECT_EQ(summary.productVersion, "2.5.17");
    EXPECT_EQ(summary.manufacturer, "Kestrel Pr\u00fcfstand");
    EXPECT_EQ(summary.productCode, KR_TEST_PRODUCT_CODE);
    EXPECT_EQ(summary.outputPath, scratch.file("setup.exe"));

    const std::string launcherBytes = readFile(KR_TEST_LAUNCHER);
    const std::string package = readFile(KR_TEST_PACKAGE);
    const std::string setupBytes = readFile(scratch.file("setup.exe"));
    MemorySource launcherSource(view(launcherBytes));
    MemorySource setupSource(view(setupBytes));
    const PeImage launcher(launcherSource);
    const PeImage setup(setupSource);
    const size_t index = launcher.rewritableResourceSection();
    ASSERT_EQ(setup.rewritableResourceSection(), index);
    EXPECT_EQ(summary.packageSize, package.size());

    const ResourceTree& resources = setup.resources();
    ASSERT_NE(resources.find(10, u"msi", 0), nullptr);
    EXPECT_TRUE(bytesOf(*resources.find(10, u"msi", 0)) == package);
    EXPECT_EQ(bytesOf(*resources.find(10, u"product_code", 0)), KR_TEST_PRODUCT_CODE);
    EXPECT_EQ(resources.languages(16, 1), launcher.resources().languages(16, 1));
    for (const auto& [type, names] : launcher.resources().types()) {
        for (const auto& [name, languages] : names) {
            for (const auto& [language, data] : languages) {
                const ResourceData* copy = resources.find(type, name, language);
                ASSERT_NE(copy, nullptr);
                if (!(type.isNumber() && type.number == 16)) {
                    EXPECT_EQ(bytesOf(*copy), bytesOf(data));
                }
            }
        }
    }

    // Before the resources nothing moves; after them every section moves whole, to aligned places.
    const std::vector<SectionHeader>& before = launcher.layout().sections;
    const std::vector<SectionHeader>& after = setup.layout().sections;
    ASSERT_EQ(after.size(), before.size());
    ASSERT_LT(index + 1, after.size()) << "the launcher has relocations after its resources";
    for (size_t i = 0; i < index; ++i) {
        EXPECT_EQ(setupBytes.substr(after[i].rawPointer, after[i].rawSize),
                  launcherBytes.substr(before[i].rawPointer, before[i].rawSize));
    }
    const SectionHeader& rsrc = after[index];
    EXPECT_EQ(rsrc.rawSize % setup.layout().fileAlignment, 0u);
    EXPECT_GE(rsrc.rawSize, package.size());
    uint64_t imageEnd = 0;
    for (size_t i = index + 1; i < after.size(); ++i) {
        EXPECT_EQ(after[i].virtualAddress % setup.layout().sectionAlignment, 0u);
        EXPECT_GE(after[i].virtualAddress, after[i - 1].virtualAddress + after[i - 1].virtualSize);
        EXPECT_EQ(after[i].rawPointer, after[i - 1].rawPointer + after[i - 1].rawSize);
        EXPECT_TRUE(setupBytes.substr(after[i].rawPointer, after[i].rawSize) ==
                    launcherBytes.substr(before[i].rawPointer, before[i].rawSize));
        imageEnd = after[i].virtualAddress +
                   (std::max(after[i].virtualSize, after[i].rawSize) + setup.layout().sectionAlignment - 1) /
                       setup.layout().sectionAlignment * setup.layout().sectionAlignment;
    }
    // What the loader reaches stays where it was, but the relocations, which move with their section.
    const DataDirectory relocations = setup.layout().directories[pe::kDirectoryBaseRelocation];
    EXPECT_EQ(relocations.rva - after[index + 1].virtualAddress,
              launcher.layout().directories[pe::kDirectoryBaseRelocation].rva - before[index + 1].virtualAddress);
    EXPECT_EQ(relocations.size, launcher.layout().directories[pe::kDirectoryBaseRelocation].size);
    EXPECT_EQ(setup.layout().entryPoint, launcher.layout().entryPoint);
    ASSERT_EQ(setup.layout().directories.size(), launcher.layout().directories.size());
    for (uint32_t d = 0; d < setup.layout().directories.size(); ++d) {
        if (d != pe::kDirectoryResource && d != pe::kDirectoryBaseRelocation) {
            EXPECT_EQ(setup.layout().directories[d].rva, launcher.layout().directories[d].rva) << d;
            EXPECT_EQ(setup.layout().directories[d].size, launcher.layout().directories[d].size) << d;
        }
    }
    const size_t optional = setup.layout().offsets.optionalHeader;
    EXPECT_EQ(le32(setupBytes, optional + pe::kSizeOfImage), imageEnd);
    EXPECT_EQ(setup.layout().directories[pe::kDirectoryResource].size, rsrc.virtualSize);
    EXPECT_EQ(le32(setupBytes, optional + pe::kCheckSum), referenceChecksum(setupBytes, optional + pe::kCheckSum));

    // The same inputs and file name give the same bytes.
    const packtest::ScratchDir again;
    pack::pack({KR_TEST_LAUNCHER, KR_TEST_PACKAGE, again.file("setup.exe")});
    EXPECT_TRUE(readFile(again.file("setup.exe")) == setupBytes);
}

} // namespace
