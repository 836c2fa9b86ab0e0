// Parsing and formatting of GUID text through the platform's COM conversions.
#include "Guid.h"

#include "ErrorHandling.h"

#include <objbase.h>

namespace {

constexpr size_t kBracedLength = 38;
constexpr size_t kDigitsLength = 32;
// Where the dashes of the braced form stand, each counted after the dashes before it are in place.
constexpr size_t kDashPositions[] = {9, 14, 19, 24};

bool isBraced(const tstring& text) {
    return text.size() == kBracedLength && text.front() == L'{' && text.back() == L'}';
}

// Completes a text of at least 32 characters to the braced dashed form when that is possible by adding
// braces at both ends and dashes at the canonical places; anything else is handed on unchanged.
tstring normalise(const tstring& text) {
    if (isBraced(text) || text.size() < kDigitsLength) {
        return text;
    }
    tstring candidate = text;
    if (text.front() != L'{' && text.back() != L'}') {
        candidate = L"{" + text + L"}";
    }
    if (text.find(L'-') == tstring::npos) {
        for (const size_t position : kDashPositions) {
            candidate.insert(position, 1, L'-');
        }
    }
    return candidate.size() == kBracedLength ? candidate : text;
}

// One character per byte, whatever the byte.
tstring widenBytes(const std::string& bytes) {
    tstring text(bytes.size(), L'\0');
    for (size_t i = 0; i < bytes.size(); ++i) {
        text[i] = static_cast<wchar_t>(static_cast<unsigned char>(bytes[i]));
    }
    return text;
}

// The text as it can be shown in a message: a NUL would cut the message short, so it is spelled out.
tstring printable(const tstring& text) { return tstrings::replaceAll(text, tstring(1, L'\0'), L"\\0"); }

} // namespace

// Outside any namespace so that errors name it plainly.
static GUID initGuid(const tstring& text) {
    const tstring candidate = normalise(text);
    GUID value = {};
    // The platform parser reads only up to the first NUL, so a text with one in it is refused here rather
    // than be taken for the GUID in front of it.
    if (candidate.find(L'\0') != tstring::npos || FAILED(IIDFromString(candidate.c_str(), &value))) {
        KR_RAISE(MessageBuilder() << "IIDFromString(" << printable(candidate) << ") failed");
    }
    return value;
}

Guid::Guid() : value_() {}

Guid::Guid(const std::string& text) : Guid(widenBytes(text)) {}

Guid::Guid(const tstring& text) : value_(initGuid(text)) {}

tstring Guid::toString(int format) const {
    constexpr int kBufferSize = 128;
    wchar_t buffer[kBufferSize] = {};
    // The count includes the terminator; anything shorter than a brace pair is no GUID text.
    if (StringFromGUID2(value_, buffer, kBufferSize) < 3) {
        KR_RAISE("StringFromGUID2() failed");
    }
    tstring text(buffer);
    if (format & NoBraces) {
        text = text.substr(1, text.size() - 2);
    }
    if (format & NoDashes) {
        text = tstrings::replaceAll(text, L"-", L"");
    }
    if (format & LowerCase) {
        text = tstrings::lowerCase(text);
    }
    return text;
}
