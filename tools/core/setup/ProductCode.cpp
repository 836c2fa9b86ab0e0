// Reading GUID text: braces and dashes optional, hexadecimal digits in either case.
#include "ProductCode.h"

#include "text/Ascii.h"

namespace pack {

namespace {

constexpr size_t kDigits = 32;

bool isHexDigit(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }

} // namespace

std::optional<std::string> canonicalProductCode(const std::string& text) {
    std::string inner = text;
    const bool braced = !text.empty() && text.front() == '{';
    if (braced != (!text.empty() && text.back() == '}')) {
        return std::nullopt;
    }
    if (braced) {
        inner = text.substr(1, text.size() - 2);
    }
    const bool dashed = inner.size() == kDigits + 4;
    if (!dashed && inner.size() != kDigits) {
        return std::nullopt;
    }
    std::string result = "{";
    for (size_t i = 0; i < inner.size(); ++i) {
        const char c = inner[i];
        const bool dashPlace = dashed && (i == 8 || i == 13 || i == 18 || i == 23);
        if (dashPlace ? c != '-' : !isHexDigit(c)) {
            return std::nullopt;
        }
        result += asciiUpper(c);
        if (!dashed && (i == 7 || i == 11 || i == 15 || i == 19)) {
            result += '-';
        }
    }
    return result + "}";
}

} // namespace pack
