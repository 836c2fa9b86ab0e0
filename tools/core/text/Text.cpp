// Escaping and cutting text from a file, by UTF-16 unit: every character that needs it lies in the first plane.
#include "Text.h"

#include "Ascii.h"
#include "Utf.h"

namespace pack {

namespace {

// See Text.h.
bool isUnsafeCharacter(char16_t c) {
    return c < 0x20 || (c >= 0x7F && c <= 0x9F) || c == 0x061C || c == 0x200E || c == 0x200F ||
           c == 0x2028 || c == 0x2029 || (c >= 0x202A && c <= 0x202E) || (c >= 0x2066 && c <= 0x2069);
}

// `text` (UTF-8, what is not UTF-8 made U+FFFD) with each unit for which `escape` gives a text replaced by that text.
template <class Escape> std::string escapeUnits(const std::string& text, Escape escape) {
    std::u16string result;
    for (const char16_t c : toUtf16(text)) {
        const std::string replacement = escape(c);
        if (replacement.empty()) {
            result += c;
        } else {
            result.append(replacement.begin(), replacement.end());
        }
    }
    return toUtf8(result);
}

} // namespace

std::string printable(const std::string& text) {
    return escapeUnits(text, [](char16_t c) {
        // A backslash of the text is doubled, so that it never reads as the start of an escape.
        if (c == u'\\') {
            return std::string("\\\\");
        }
        if (!isUnsafeCharacter(c)) {
            return std::string();
        }
        return c < 0x80 ? "\\x" + hexDigits(c, 2, HexCase::Upper) : "\\u" + hexDigits(c, 4, HexCase::Upper);
    });
}

std::string jsonString(const std::string& text) {
    return "\"" + escapeUnits(text, [](char16_t c) {
        if (c == u'"' || c == u'\\') {
            return std::string{'\\', static_cast<char>(c)};
        }
        return isUnsafeCharacter(c) ? "\\u" + hexDigits(c, 4, HexCase::Lower) : std::string();
    }) + "\"";
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
