// Text of the system: UTF-16 strings, UTF-8 conversion, message composition and small text operations.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <string>
#include <type_traits>
#include <vector>

using tstring = std::wstring;
using tstring_array = std::vector<tstring>;

namespace tstrings {

enum class CaseMode : int32_t { CaseSensitive = 0, IgnoreCase = 1 };

// Conversions between UTF-16 and a narrow code page; the UTF-8 pair is what the system uses.
std::string toMultiByte(const tstring& text, unsigned codePage);
tstring fromMultiByte(const std::string& text, unsigned codePage);
std::string encodeUtf8(const tstring& text);
tstring decodeUtf8(const std::string& text);

// printf-style formatting into a growing buffer; %s takes a wide string.
tstring formatText(const wchar_t* format, ...);

bool equalText(const tstring& a, const tstring& b, CaseMode mode = CaseMode::CaseSensitive);
bool hasSuffix(const tstring& s, const tstring& suffix, CaseMode mode = CaseMode::CaseSensitive);
tstring trimChars(const tstring& s, const tstring& characters);
tstring lowerCase(const tstring& s);
tstring replaceAll(const tstring& s, const tstring& search, const tstring& replacement);

template <class Iterator>
tstring joinRange(Iterator first, Iterator last, const tstring& delimiter) {
    tstring result;
    for (Iterator it = first; it != last; ++it) {
        if (it != first) {
            result += delimiter;
        }
        result += *it;
    }
    return result;
}

// Message text used as a value: fed by insertion, read out once as UTF-16 or UTF-8. Narrow text, zero-terminated
// or not, is decoded from UTF-8 so non-ASCII paths survive; integers are written in decimal, pointers as a wide
// stream writes them ("0" for null, otherwise "0x" and lower-case hexadecimal digits).
class MessageBuilder {
public:
    MessageBuilder() = default;
    explicit MessageBuilder(const tstring& text);
    explicit MessageBuilder(const std::string& utf8);
    explicit MessageBuilder(const char* utf8);

    MessageBuilder& operator<<(const tstring& text);
    MessageBuilder& operator<<(const wchar_t* text);
    MessageBuilder& operator<<(const std::string& utf8);
    MessageBuilder& operator<<(const char* utf8);
    MessageBuilder& operator<<(wchar_t c);
    MessageBuilder& operator<<(char c);
    MessageBuilder& operator<<(const void* pointer);
    MessageBuilder& operator<<(const MessageBuilder& other);

    template <class Integer, std::enable_if_t<std::is_integral_v<Integer> && !std::is_same_v<Integer, bool> &&
                                                  !std::is_same_v<Integer, char> &&
                                                  !std::is_same_v<Integer, wchar_t>,
                                              int> = 0>
    MessageBuilder& operator<<(Integer value) {
        if constexpr (std::is_signed_v<Integer>) {
            // The magnitude of the most negative value fits only once it is unsigned.
            const bool negative = value < 0;
            const auto magnitude = static_cast<uint64_t>(static_cast<int64_t>(value));
            if (negative) {
                text_ += L'-';
            }
            appendDigits(negative ? 0 - magnitude : magnitude, 10);
        } else {
            appendDigits(static_cast<uint64_t>(value), 10);
        }
        return *this;
    }

    tstring str() const { return text_; }
    std::string utf8() const { return encodeUtf8(text_); }
    operator tstring() const { return text_; }

private:
    // The digits of `value` in `base` (10 or 16), without sign or prefix.
    void appendDigits(uint64_t value, unsigned base);

    tstring text_;
};

// Writes the UTF-8 text to a narrow output stream; only a program that has streams instantiates it.
template <class Traits>
std::basic_ostream<char, Traits>& operator<<(std::basic_ostream<char, Traits>& out, const MessageBuilder& message) {
    return out << message.utf8();
}

} // namespace tstrings

using tstrings::MessageBuilder;
