// Tests of the version block the packer builds: its nesting, its fixed version and its texts.
#include "PackError.h"
#include "resources/VersionBlock.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using namespace pack;

uint32_t le32(const std::string& bytes, size_t at) { return getLe32(reinterpret_cast<const uint8_t*>(&bytes[at])); }

// One block of a version resource: key, value and children, read by its lengths.
struct Block {
    std::u16string key;
    uint16_t type = 0;
    std::string value; // bytes
    std::vector<Block> children;
};

Block readBlock(const std::vector<uint8_t>& bytes, size_t at) {
    const auto align = [](size_t offset) { return (offset + 3) & ~size_t{3}; };
    const size_t end = at + getLe16(&bytes[at]);
    const uint16_t valueLength = getLe16(&bytes[at + 2]);
    Block block;
    block.type = getLe16(&bytes[at + 4]);
    size_t next = at + 6;
    for (; getLe16(&bytes[next]) != 0; next += 2) {
        block.key += static_cast<char16_t>(getLe16(&bytes[next]));
    }
    next = align(next + 2);
    const size_t valueBytes = block.type == 1 ? valueLength * 2u : valueLength;
    block.value.assign(reinterpret_cast<const char*>(&bytes[next]), valueBytes);
    for (next = align(next + valueBytes); next < end; next = align(next + getLe16(&bytes[next]))) {
        block.children.push_back(readBlock(bytes, next));
    }
    EXPECT_EQ(next, align(end)) << "children overrun their parent";
    return block;
}

TEST(VersionBlock, NestsTheFixedVersionTheStringTableAndTheTranslation) {
    VersionInfo info;
    info.version = {2, 5, 17, 0};
    info.language = 0x0409;
    info.strings = {{u"CompanyName", u"Kestrel Pr\u00fcfstand"}, {u"ProductName", u"P"}};
    const std::vector<uint8_t> bytes = buildVersionBlock(info);
    const Block root = readBlock(bytes, 0);
    EXPECT_EQ(getLe16(&bytes[0]), bytes.size());
    EXPECT_EQ(root.key, u"VS_VERSION_INFO");
    ASSERT_EQ(root.value.size(), 52u);
    EXPECT_EQ(le32(root.value, 0), 0xFEEF04BDu);
    EXPECT_EQ(le32(root.value, 8), 0x00020005u);  // file version, high
    EXPECT_EQ(le32(root.value, 12), 0x00110000u); // and low
    EXPECT_EQ(le32(root.value, 16), 0x00020005u); // product version
    EXPECT_EQ(le32(root.value, 36), 1u);          // an application
    ASSERT_EQ(root.children.size(), 2u);
    const Block& table = root.children[0].children.at(0);
    EXPECT_EQ(root.children[0].key, u"StringFileInfo");
    EXPECT_EQ(table.key, u"040904b0");
    ASSERT_EQ(table.children.size(), 2u);
    EXPECT_EQ(table.children[0].key, u"CompanyName");
    const std::u16string company = u"Kestrel Pr\u00fcfstand";
    EXPECT_EQ(table.children[0].value,
              std::string(reinterpret_cast<const char*>(company.c_str()), (company.size() + 1) * 2));
    EXPECT_EQ(table.children[1].value, std::string("P\0\0\0", 4));
    const Block& translation = root.children[1].children.at(0);
    EXPECT_EQ(root.children[1].key, u"VarFileInfo");
    EXPECT_EQ(translation.key, u"Translation");
    EXPECT_EQ(le32(translation.value, 0), 0x04B00409u);

    info.strings = {{u"Comments", std::u16string(40000, u'x')}};
    EXPECT_THROW(buildVersionBlock(info), Error);
}

TEST(VersionBlock, FixedVersionTakesUpToFourNumericFields) {
    EXPECT_EQ(parseFixedVersion("1.2.3.4"), (FixedVersion{1, 2, 3, 4}));
    EXPECT_EQ(parseFixedVersion("1.2"), (FixedVersion{1, 2, 0, 0}));
    EXPECT_EQ(parseFixedVersion("7"), (FixedVersion{7, 0, 0, 0}));
    EXPECT_EQ(parseFixedVersion("1.2.3.4.5"), (FixedVersion{1, 2, 3, 4}));
    EXPECT_EQ(parseFixedVersion("255.255.65535"), (FixedVersion{255, 255, 65535, 0}));
    EXPECT_EQ(parseFixedVersion("2.0-beta.7"), (FixedVersion{2, 0, 0, 0}));
    EXPECT_EQ(parseFixedVersion("1.65536.3"), (FixedVersion{1, 0, 0, 0}));
    EXPECT_EQ(parseFixedVersion("1..3"), (FixedVersion{1, 0, 0, 0}));
    EXPECT_EQ(parseFixedVersion(" 1.2"), (FixedVersion{0, 0, 0, 0}));
    EXPECT_EQ(parseFixedVersion(""), (FixedVersion{0, 0, 0, 0}));
}

} // namespace
