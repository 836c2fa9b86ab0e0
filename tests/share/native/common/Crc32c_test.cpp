// Tests of CRC-32C: the published check values, and long input fed whole or in small pieces alike.
#include "Crc32c.h"

#include <gtest/gtest.h>

#include <numeric>
#include <vector>

namespace {

uint32_t crcOf(const std::vector<unsigned char>& bytes) {
    Crc32c crc;
    crc.update(bytes.data(), bytes.size());
    return crc.value();
}

} // namespace

TEST(Crc32c, PublishedCheckValues) {
    Crc32c digits;
    digits.update("123456789", 9);
    EXPECT_EQ(digits.value(), 0xE3069283u);
    EXPECT_EQ(digits.text(), "crc32c:e3069283");
    EXPECT_EQ(crcOf(std::vector<unsigned char>(32, 0x00)), 0x8A9136AAu);
    EXPECT_EQ(crcOf(std::vector<unsigned char>(32, 0xFF)), 0x62A8AB43u);
    std::vector<unsigned char> ascending(32);
    std::iota(ascending.begin(), ascending.end(), 0);
    EXPECT_EQ(crcOf(ascending), 0x46DD794Eu);
    EXPECT_EQ(Crc32c().text(), "crc32c:00000000");
}

TEST(Crc32c, LongInputGivesTheSameValueWholeOrInPiecesAndNoticesOneChangedByte) {
    std::vector<unsigned char> bytes(1000003);
    uint32_t state = 12345;
    for (unsigned char& byte : bytes) {
        state = state * 1103515245u + 12345u;
        byte = static_cast<unsigned char>(state >> 24);
    }
    const uint32_t whole = crcOf(bytes);
    // Pieces too short for the long-input path, at odd offsets.
    Crc32c pieces;
    for (size_t offset = 0; offset < bytes.size(); offset += 4099) {
        pieces.update(bytes.data() + offset, std::min<size_t>(4099, bytes.size() - offset));
    }
    EXPECT_EQ(pieces.value(), whole);

    bytes[777777] ^= 0x01;
    EXPECT_NE(crcOf(bytes), whole);
    bytes[777777] ^= 0x01;
    bytes.pop_back();
    EXPECT_NE(crcOf(bytes), whole);
}
