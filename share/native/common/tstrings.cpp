// UTF-16/UTF-8 conversion, formatting and text operations of the tstrings namespace.
#include "tstrings.h"

#include "ErrorHandling.h"

#include <windows.h>

#include <algorithm>
#include <cstdarg>
#include <stdexcept>

namespace tstrings {

std::string toMultiByte(const tstring& text, unsigned codePage) {
    const int length = static_cast<int>(text.size());
    const int size = WideCharToMultiByte(codePage, 0, text.data(), length, nullptr, 0, nullptr, nullptr);
    if (size < 0) {
        KR_RAISE("Unexpected reply from WideCharToMultiByte()");
    }
    if (size == 0) {
        return std::string();
    }
    std::string result(static_cast<size_t>(size), '\0');
    if (WideCharToMultiByte(codePage, 0, text.data(), length, result.data(), size, nullptr, nullptr) != size) {
        KR_RAISE("Unexpected reply from WideCharToMultiByte()");
    }
    return result;
}

tstring fromMultiByte(const std::string& text, unsigned codePage) {
    const int length = static_cast<int>(text.size());
    const int size = MultiByteToWideChar(codePage, MB_ERR_INVALID_CHARS, text.data(), length, nullptr, 0);
    if (size < 0) {
        KR_RAISE("Unexpected reply from MultiByteToWideChar()");
    }
    if (size == 0) {
        return tstring();
    }
    tstring result(static_cast<size_t>(size), L'\0');
    if (MultiByteToWideChar(codePage, MB_ERR_INVALID_CHARS, text.data(), length, result.data(), size) != size) {
        KR_RAISE("Unexpected reply from MultiByteToWideChar()");
    }
    return result;
}

std::string encodeUtf8(const tstring& text) { return toMultiByte(text, CP_UTF8); }

tstring decodeUtf8(const std::string& text) { return fromMultiByte(text, CP_UTF8); }

tstring formatText(const wchar_t* format, ...) {
    if (!format) {
        throw std::invalid_argument("Destination buffer can't be NULL");
    }
    tstring buffer;
    int written = -1;
    while (written == -1) {
        buffer.resize(buffer.size() + 256);
        va_list args;
        va_start(args, format);
        written = _vsnwprintf_s(buffer.data(), buffer.size(), _TRUNCATE, format, args);
        va_end(args);
    }
    buffer.resize(static_cast<size_t>(written));
    return buffer;
}

bool equalText(const tstring& a, const tstring& b, CaseMode mode) {
    if (mode == CaseMode::IgnoreCase) {
        return lowerCase(a) == lowerCase(b);
    }
    return a == b;
}

bool hasSuffix(const tstring& s, const tstring& suffix, CaseMode mode) {
    if (s.size() < suffix.size()) {
        return false;
    }
    return equalText(s.substr(s.size() - suffix.size()), suffix, mode);
}

tstring trimChars(const tstring& s, const tstring& characters) {
    const size_t first = s.find_first_not_of(characters);
    if (first == tstring::npos) {
        return tstring();
    }
    const size_t last = s.find_last_not_of(characters);
    return s.substr(first, last - first + 1);
}

tstring lowerCase(const tstring& s) {
    tstring result(s);
    // The classic C locale lowers only A to Z, which is what comparisons of paths and switches rely on.
    std::transform(result.begin(), result.end(), result.begin(), [](wchar_t c) {
        return (c >= L'A' && c <= L'Z') ? static_cast<wchar_t>(c - L'A' + L'a') : c;
    });
    return result;
}

tstring replaceAll(const tstring& s, const tstring& search, const tstring& replacement) {
    if (search.empty()) {
        return s;
    }
    tstring result(s);
    size_t position = 0;
    while ((position = result.find(search, position)) != tstring::npos) {
        result.replace(position, search.size(), replacement);
        position += replacement.size();
    }
    return result;
}

namespace {

// Narrow message text as UTF-8; text that is not valid UTF-8 is widened byte by byte rather than lost.
tstring decodeMessageText(const std::string& text) {
    const tstring decoded = decodeUtf8(text);
    if (!decoded.empty() || text.empty()) {
        return decoded;
    }
    tstring widened;
    widened.reserve(text.size());
    for (const char c : text) {
        widened += static_cast<wchar_t>(static_cast<unsigned char>(c));
    }
    return widened;
}

} // namespace

MessageBuilder::MessageBuilder(const tstring& text) : text_(text) {}

MessageBuilder::MessageBuilder(const std::string& utf8) : text_(decodeMessageText(utf8)) {}

MessageBuilder::MessageBuilder(const char* utf8) { *this << utf8; }

MessageBuilder& MessageBuilder::operator<<(const tstring& text) {
    text_ += text;
    return *this;
}

MessageBuilder& MessageBuilder::operator<<(const wchar_t* text) {
    text_ += text ? text : L"NULL";
    return *this;
}

MessageBuilder& MessageBuilder::operator<<(const std::string& utf8) {
    text_ += decodeMessageText(utf8);
    return *this;
}

MessageBuilder& MessageBuilder::operator<<(const char* utf8) {
    text_ += utf8 ? decodeMessageText(utf8) : tstring(L"NULL");
    return *this;
}

MessageBuilder& MessageBuilder::operator<<(wchar_t c) {
    text_ += c;
    return *this;
}

MessageBuilder& MessageBuilder::operator<<(char c) {
    text_ += static_cast<wchar_t>(static_cast<unsigned char>(c));
    return *this;
}

MessageBuilder& MessageBuilder::operator<<(const void* pointer) {
    const auto value = reinterpret_cast<uintptr_t>(pointer);
    if (value != 0) {
        text_ += L"0x";
    }
    appendDigits(value, 16);
    return *this;
}

MessageBuilder& MessageBuilder::operator<<(const MessageBuilder& other) {
    text_ += other.text_;
    return *this;
}

void MessageBuilder::appendDigits(uint64_t value, unsigned base) {
    wchar_t digits[64];
    size_t count = 0;
    do {
        digits[count++] = L"0123456789abcdef"[value % base];
        value /= base;
    } while (value != 0);
    while (count > 0) {
        text_ += digits[--count];
    }
}

} // namespace tstrings
