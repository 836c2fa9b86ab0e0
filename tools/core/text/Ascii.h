// ASCII letters and hexadecimal digits, as names and file formats use them whatever the text around them.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace pack {

// `c` with an ASCII lower-case letter made upper case; any other character as it is.
template <class Char> constexpr Char asciiUpper(Char c) {
    return c >= Char('a') && c <= Char('z') ? static_cast<Char>(c - Char('a') + Char('A')) : c;
}

// The order of names that match without regard to ASCII case, as resource and version names do: by code unit,
// with ASCII letters upper-cased.
bool lessIgnoringAsciiCase(std::u16string_view first, std::u16string_view second);

enum class HexCase { Upper, Lower };

// The last `count` hexadecimal digits of `value`, most significant first.
std::string hexDigits(uint64_t value, int count, HexCase letters);

} // namespace pack
