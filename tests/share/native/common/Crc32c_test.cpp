// Tests of CRC-32C by both methods: the published check values, and long input fed whole or in pieces alike.
#include "Crc32c.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>
#include <numeric>
#include <vector>

namespace {

constexpr Crc32c::Method kMethods[] = {Crc32c::Method::fastest, Crc32c::Method::tables};

uint32_t crcOf(const std::vector<unsigned char>& bytes, Crc32c::Method method) {
    Crc32c crc(method);
    crc.update(bytes.data(), bytes.size());
    return crc.value();
}

// One bit at a time, straight from the definition: what both methods must agree with.
uint32_t bitwiseCrc(const std::vector<unsigned char>& bytes) {
    uint32_t crc = 0xFFFFFFFFu;
    for (unsigned char byte : bytes) {
        crc ^= byte;
        for (int bit = 0; bit < 8; ++bit) {
            crc = (crc >> 1) ^ (0x82F63B78u & (0u - (crc & 1u)));
        }
    }
    return ~crc;
}

} // namespace

TEST(Crc32c, PublishedCheckValues) {
    std::vector<unsigned char> ascending(32);
    std::iota(ascending.begin(), ascending.end(), 0);
    for (Crc32c::Method method : kMethods) {
        SCOPED_TRACE(method == Crc32c::Method::tables ? "tables" : "fastest");
        Crc32c digits(method);
        digits.update("123456789", 9);
        EXPECT_EQ(digits.value(), 0xE3069283u);
        EXPECT_EQ(digits.text(), "crc32c:e3069283");
        EXPECT_EQ(crcOf(std::vector<unsigned char>(32, 0x00), method), 0x8A9136AAu);
        EXPECT_EQ(crcOf(std::vector<unsigned char>(32, 0xFF), method), 0x62A8AB43u);
        EXPECT_EQ(crcOf(ascending, method), 0x46DD794Eu);
        EXPECT_EQ(Crc32c(method).text(), "crc32c:00000000");
    }
}

TEST(Crc32c, LongInputGivesTheReferenceValueWholeOrInPiecesAndNoticesOneChangedByte) {
    std::vector<unsigned char> bytes(1000003);
    uint32_t state = 12345;
    for (unsigned char& byte : bytes) {
        state = state * 1103515245u + 12345u;
        byte = static_cast<unsigned char>(state >> 24);
    }
    const uint32_t reference = bitwiseCrc(bytes);
    // Pieces of every remainder modulo 8, below and above the three-stream length of the hardware path, so that
    // each piece starts at an offset the one before left odd.
    const size_t pieceSizes[] = {1, 7, 8, 9, 15, 4099, 3 * 8192 - 1, 3 * 8192 + 5, 65537};
    for (Crc32c::Method method : kMethods) {
        SCOPED_TRACE(method == Crc32c::Method::tables ? "tables" : "fastest");
        EXPECT_EQ(crcOf(bytes, method), reference);
        Crc32c pieces(method);
        size_t offset = 0;
        for (size_t i = 0; offset < bytes.size(); ++i) {
            const size_t piece = std::min(pieceSizes[i % std::size(pieceSizes)], bytes.size() - offset);
            pieces.update(bytes.data() + offset, piece);
            offset += piece;
        }
        EXPECT_EQ(pieces.value(), reference);
    }

    bytes[777777] ^= 0x01;
    EXPECT_NE(crcOf(bytes, Crc32c::Method::tables), reference);
    EXPECT_NE(crcOf(bytes, Crc32c::Method::fastest), reference);
    bytes[777777] ^= 0x01;
    bytes.pop_back();
    EXPECT_NE(crcOf(bytes, Crc32c::Method::tables), reference);
    EXPECT_NE(crcOf(bytes, Crc32c::Method::fastest), reference);
}
