// Comparing names without regard to ASCII case, and writing hexadecimal digits.
#include "Ascii.h"

#include <algorithm>

namespace pack {

bool lessIgnoringAsciiCase(std::u16string_view first, std::u16string_view second) {
    return std::lexicographical_compare(first.begin(), first.end(), second.begin(), second.end(),
                                        [](char16_t a, char16_t b) { return asciiUpper(a) < asciiUpper(b); });
}

std::string hexDigits(uint64_t value, int count, HexCase letters) {
    const char* const digits = letters == HexCase::Upper ? "0123456789ABCDEF" : "0123456789abcdef";
    std::string text;
    for (int shift = (count - 1) * 4; shift >= 0; shift -= 4) {
        text += digits[(value >> shift) & 0xF];
    }
    return text;
}

} // namespace pack
