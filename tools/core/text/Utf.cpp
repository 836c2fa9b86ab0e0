// UTF-8 and UTF-16 conversion, by code point.
#include "Utf.h"

namespace pack {

namespace {

constexpr char32_t kReplacement = 0xFFFD;

bool isSurrogate(char32_t c) { return c >= 0xD800 && c <= 0xDFFF; }

// The code point starting at `text[i]`; advances `i` past it, or past one byte of a malformed sequence.
char32_t decodeUtf8(const std::string& text, size_t& i) {
    const auto byte = [&text](size_t at) { return static_cast<unsigned char>(text[at]); };
    const unsigned char lead = byte(i);
    size_t length = 0;
    char32_t code = 0;
    char32_t smallest = 0;
    if (lead < 0x80) {
        ++i;
        return lead;
    } else if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
        code = lead & 0x1Fu;
        smallest = 0x80;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        code = lead & 0x0Fu;
        smallest = 0x800;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        code = lead & 0x07u;
        smallest = 0x10000;
    } else {
        ++i;
        return kReplacement;
    }
    if (text.size() - i < length) {
        ++i;
        return kReplacement;
    }
    for (size_t k = 1; k < length; ++k) {
        if ((byte(i + k) & 0xC0u) != 0x80) {
            ++i;
            return kReplacement;
        }
        code = code << 6 | (byte(i + k) & 0x3Fu);
    }
    if (code < smallest || code > 0x10FFFF || isSurrogate(code)) {
        ++i;
        return kReplacement;
    }
    i += length;
    return code;
}

// The code point starting at `text[i]`; advances `i` past it.
char32_t decodeUtf16(const std::u16string& text, size_t& i) {
    const char32_t unit = text[i++];
    if (unit >= 0xD800 && unit <= 0xDBFF && i < text.size() && text[i] >= 0xDC00 && text[i] <= 0xDFFF) {
        return 0x10000 + ((unit - 0xD800) << 10) + (static_cast<char32_t>(text[i++]) - 0xDC00);
    }
    return isSurrogate(unit) ? kReplacement : unit;
}

} // namespace

std::u16string toUtf16(const std::string& utf8) {
    std::u16string result;
    result.reserve(utf8.size());
    for (size_t i = 0; i < utf8.size();) {
        const char32_t code = decodeUtf8(utf8, i);
        if (code >= 0x10000) {
            result += static_cast<char16_t>(0xD800 + ((code - 0x10000) >> 10));
            result += static_cast<char16_t>(0xDC00 + ((code - 0x10000) & 0x3FF));
        } else {
            result += static_cast<char16_t>(code);
        }
    }
    return result;
}

std::string toUtf8(const std::u16string& utf16) {
    std::string result;
    result.reserve(utf16.size());
    for (size_t i = 0; i < utf16.size();) {
        const char32_t code = decodeUtf16(utf16, i);
        if (code < 0x80) {
            result += static_cast<char>(code);
        } else if (code < 0x800) {
            result += static_cast<char>(0xC0 | code >> 6);
            result += static_cast<char>(0x80 | (code & 0x3F));
        } else if (code < 0x10000) {
            result += static_cast<char>(0xE0 | code >> 12);
            result += static_cast<char>(0x80 | (code >> 6 & 0x3F));
            result += static_cast<char>(0x80 | (code & 0x3F));
        } else {
            result += static_cast<char>(0xF0 | code >> 18);
            result += static_cast<char>(0x80 | (code >> 12 & 0x3F));
            result += static_cast<char>(0x80 | (code >> 6 & 0x3F));
            result += static_cast<char>(0x80 | (code & 0x3F));
        }
    }
    return result;
}

} // namespace pack
