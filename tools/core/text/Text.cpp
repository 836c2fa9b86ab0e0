// Escaping and cutting text from a file, by UTF-16 unit: every character that needs it lies in the first plane.
#include "Text.h"

#include "Utf.h"

#include <cstdio>

namespace pack {

bool isUnsafeCharacter(char16_t c) {
    return c < 0x20 || (c >= 0x7F && c <= 0x9F) || c == 0x061C || c == 0x200E || c == 0x200F ||
           c == 0x2028 || c == 0x2029 || (c >= 0x202A && c <= 0x202E) || (c >= 0x2066 && c <= 0x2069);
}

std::string printable(const std::string& text) {
    std::u16string result;
    for (const char16_t c : toUtf16(text)) {
        // A backslash of the text is doubled, so that it never reads as the start of an escape.
        if (c == u'\\') {
            result += u"\\\\";
            continue;
        }
        if (!isUnsafeCharacter(c)) {
            result += c;
            continue;
        }
        char escape[8];
        std::snprintf(escape, sizeof(escape), c < 0x80 ? "\\x%02X" : "\\u%04X", static_cast<unsigned>(c));
        for (const char* at = escape; *at; ++at) {
            result += static_cast<char16_t>(*at);
        }
    }
    return toUtf8(result);
}

std::string shortened(const std::string& text, size_t maxCharacters) {
    const std::u16string units = toUtf16(text);
    size_t end = 0;
    for (size_t characters = 0; end < units.size() && characters < maxCharacters; ++characters) {
        const bool pair = units[end] >= 0xD800 && units[end] <= 0xDBFF && end + 1 < units.size();
        end += pair ? 2 : 1;
    }
    return end == units.size() ? toUtf8(units) : toUtf8(units.substr(0, end)) + "\u2026";
}

} // namespace pack
