// CRC-32C (Castagnoli) of a byte stream fed in pieces: the check that an embedded package arrived whole.
#include "Crc32c.h"

#include <array>
#include <cstring>

#if defined(__x86_64__) || defined(_M_X64)
#include <cpuid.h>
#include <nmmintrin.h>
#define KR_CRC32C_HARDWARE 1
#endif

namespace {

constexpr uint32_t kPolynomial = 0x82F63B78u; // reflected

// Slicing-by-8 tables: table[k][b] is the CRC of byte b followed by k zero bytes. Built at first use rather than
// stored: the hardware path never needs them, and stored they would weigh 8 KiB in every setup.exe.
using Tables = std::array<std::array<uint32_t, 256>, 8>;

Tables makeTables() {
    Tables tables{};
    for (uint32_t b = 0; b < 256; ++b) {
        uint32_t crc = b;
        for (int bit = 0; bit < 8; ++bit) {
            crc = (crc >> 1) ^ ((crc & 1u) ? kPolynomial : 0u);
        }
        tables[0][b] = crc;
    }
    for (size_t k = 1; k < 8; ++k) {
        for (uint32_t b = 0; b < 256; ++b) {
            tables[k][b] = (tables[k - 1][b] >> 8) ^ tables[0][tables[k - 1][b] & 0xFFu];
        }
    }
    return tables;
}

uint32_t updateSoftware(uint32_t crc, const unsigned char* p, size_t size) {
    static const Tables kTables = makeTables();
    while (size >= 8) {
        uint32_t low = 0;
        uint32_t high = 0;
        std::memcpy(&low, p, 4);
        std::memcpy(&high, p + 4, 4);
        low ^= crc;
        crc = kTables[7][low & 0xFFu] ^ kTables[6][(low >> 8) & 0xFFu] ^ kTables[5][(low >> 16) & 0xFFu] ^
              kTables[4][low >> 24] ^ kTables[3][high & 0xFFu] ^ kTables[2][(high >> 8) & 0xFFu] ^
              kTables[1][(high >> 16) & 0xFFu] ^ kTables[0][high >> 24];
        p += 8;
        size -= 8;
    }
    while (size-- > 0) {
        crc = (crc >> 8) ^ kTables[0][(crc ^ *p++) & 0xFFu];
    }
    return crc;
}

#ifdef KR_CRC32C_HARDWARE

// Three independent streams keep the processor's CRC unit busy; they are joined by shifting the first two
// over the bytes that follow them, which multiplying by x^(8n) mod P does.
constexpr size_t kStreamBytes = 8192;

uint32_t multiplyModP(uint32_t a, uint32_t b) {
    uint32_t product = 0;
    for (int bit = 0; bit < 32; ++bit) {
        if (a & 0x80000000u) {
            product ^= b;
        }
        a <<= 1;
        b = (b >> 1) ^ ((b & 1u) ? kPolynomial : 0u);
    }
    return product;
}

// x^(8 * bytes) mod P, in the reflected form the CRC uses.
uint32_t shiftFactor(size_t bytes) {
    uint32_t factor = 0x80000000u; // x^0
    uint32_t square = 0x40000000u; // x^1
    for (size_t bits = bytes * 8; bits > 0; bits >>= 1) {
        if (bits & 1u) {
            factor = multiplyModP(factor, square);
        }
        square = multiplyModP(square, square);
    }
    return factor;
}

__attribute__((target("sse4.2"))) uint32_t updateHardware(uint32_t crc, const unsigned char* p, size_t size) {
    static const uint32_t shiftOne = shiftFactor(kStreamBytes);
    static const uint32_t shiftTwo = shiftFactor(2 * kStreamBytes);
    while (size >= 3 * kStreamBytes) {
        uint64_t a = crc;
        uint64_t b = 0;
        uint64_t c = 0;
        for (size_t i = 0; i < kStreamBytes; i += 8) {
            uint64_t wordA = 0;
            uint64_t wordB = 0;
            uint64_t wordC = 0;
            std::memcpy(&wordA, p + i, 8);
            std::memcpy(&wordB, p + kStreamBytes + i, 8);
            std::memcpy(&wordC, p + 2 * kStreamBytes + i, 8);
            a = _mm_crc32_u64(a, wordA);
            b = _mm_crc32_u64(b, wordB);
            c = _mm_crc32_u64(c, wordC);
        }
        crc = multiplyModP(static_cast<uint32_t>(a), shiftTwo) ^ multiplyModP(static_cast<uint32_t>(b), shiftOne) ^
              static_cast<uint32_t>(c);
        p += 3 * kStreamBytes;
        size -= 3 * kStreamBytes;
    }
    uint64_t wide = crc;
    while (size >= 8) {
        uint64_t word = 0;
        std::memcpy(&word, p, 8);
        wide = _mm_crc32_u64(wide, word);
        p += 8;
        size -= 8;
    }
    crc = static_cast<uint32_t>(wide);
    while (size-- > 0) {
        crc = _mm_crc32_u8(crc, *p++);
    }
    return crc;
}

// Asks the processor itself (leaf 1, ECX bit 20): __builtin_cpu_supports would link the compiler's whole
// processor model table, some 5 KiB of the launcher, for this one bit.
bool hasHardwareCrc() {
    static const bool supported = [] {
        unsigned eax = 0;
        unsigned ebx = 0;
        unsigned ecx = 0;
        unsigned edx = 0;
        return __get_cpuid(1, &eax, &ebx, &ecx, &edx) && (ecx & bit_SSE4_2) != 0;
    }();
    return supported;
}

#endif

} // namespace

void Crc32c::update(const void* data, size_t size) {
    const auto* bytes = static_cast<const unsigned char*>(data);
#ifdef KR_CRC32C_HARDWARE
    if (method_ == Method::fastest && hasHardwareCrc()) {
        state_ = updateHardware(state_, bytes, size);
        return;
    }
#endif
    state_ = updateSoftware(state_, bytes, size);
}

std::string Crc32c::text() const {
    static const char kDigits[] = "0123456789abcdef";
    std::string result = "crc32c:";
    for (int shift = 28; shift >= 0; shift -= 4) {
        result += kDigits[(value() >> shift) & 0xFu];
    }
    return result;
}
