// Tests of UTF-8/UTF-16 conversion, formatting and the text operations.
#include "tstrings.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <sstream>
#include <stdexcept>

using namespace tstrings;

TEST(Utf8, RoundTripsBeyondTheBasicPlaneAndEmbeddedZeros) {
    const tstring text = tstring(L"J\u00fcrgen \u6587\u4ef6 ") + L"\xD83D\xDE00" + tstring(1, L'\0') + L"end";
    const std::string bytes = encodeUtf8(text);
    EXPECT_EQ(bytes, std::string("J\xC3\xBCrgen \xE6\x96\x87\xE4\xBB\xB6 \xF0\x9F\x98\x80") + std::string(1, '\0') +
                         "end");
    EXPECT_EQ(decodeUtf8(bytes), text);
}

TEST(Utf8, EmptyAndInvalidInputGiveEmptyText) {
    EXPECT_EQ(encodeUtf8(L""), "");
    EXPECT_EQ(decodeUtf8(""), L"");
    EXPECT_EQ(decodeUtf8("\xC3\x28"), L"");
    EXPECT_EQ(decodeUtf8("ok\xFF"), L"");
}

TEST(FormatText, GrowsPastTheFirstBufferToTheExactLength) {
    const tstring long_(700, L'x');
    const tstring result = formatText(L"[%s|%d]", long_.c_str(), 42);
    EXPECT_EQ(result, L"[" + long_ + L"|42]");
    EXPECT_EQ(result.size(), 705u);
    EXPECT_EQ(formatText(L"%04u/%02u", 7u, 3u), L"0007/03");
}

TEST(FormatText, AbsentFormatRaisesInvalidArgument) {
    try {
        formatText(nullptr);
        FAIL() << "no exception";
    } catch (const std::invalid_argument& error) {
        EXPECT_STREQ(error.what(), "Destination buffer can't be NULL");
    }
}

TEST(TextOperations, CompareTrimLowerReplaceJoin) {
    EXPECT_TRUE(equalText(L"ABC", L"abc", CaseMode::IgnoreCase));
    EXPECT_FALSE(equalText(L"ABC", L"abc", CaseMode::CaseSensitive));
    EXPECT_FALSE(equalText(L"\u00c4", L"\u00e4", CaseMode::IgnoreCase));
    EXPECT_TRUE(hasSuffix(L"C:\\dir\\.", L"\\."));
    EXPECT_FALSE(hasSuffix(L".", L"\\."));
    EXPECT_TRUE(hasSuffix(L"SETUP.EXE", L".exe", CaseMode::IgnoreCase));
    EXPECT_EQ(trimChars(L" \t/x \t", L" \t"), L"/x");
    EXPECT_EQ(trimChars(L" \t \t", L" \t"), L"");
    EXPECT_EQ(lowerCase(L"MiXeD \u00c4"), L"mixed \u00c4");
    EXPECT_EQ(replaceAll(L"\"", L"\"", L"\"\""), L"\"\"");
    EXPECT_EQ(replaceAll(L"a\"b\"", L"\"", L"\"\""), L"a\"\"b\"\"");
    EXPECT_EQ(replaceAll(L"abc", L"", L"x"), L"abc");
    const tstring_array parts{L"a", L"", L"b"};
    EXPECT_EQ(joinRange(parts.begin(), parts.end(), L" "), L"a  b");
    EXPECT_EQ(joinRange(parts.begin(), parts.begin(), L" "), L"");
}

TEST(MessageBuilderTest, InsertionsAndReadOut) {
    const wchar_t* absent = nullptr;
    MessageBuilder builder;
    builder << L"w" << std::string("\xC3\xBC") << "C:\\J\xC3\xBCrgen" << absent << ' ' << -5 << ' ' << 4294967295u;
    EXPECT_EQ(builder.str(), L"w\u00fcC:\\J\u00fcrgenNULL -5 4294967295");
    EXPECT_EQ(builder.utf8(), "w\xC3\xBC" "C:\\J\xC3\xBCrgenNULL -5 4294967295");
    EXPECT_EQ(MessageBuilder("\xE6\x96\x87").str(), L"\u6587");
    // Text that is no UTF-8 still arrives, each byte as the character of the same value.
    EXPECT_EQ((MessageBuilder() << "C:\\J\xFCrgen\xC3(" << std::string("\xFF")).str(), L"C:\\J\u00fcrgen\u00c3(\u00ff");
    std::ostringstream narrow;
    narrow << (MessageBuilder() << L"\u6587");
    EXPECT_EQ(narrow.str(), "\xE6\x96\x87");
}

TEST(MessageBuilderTest, NumbersAndPointersReadAsAWideStreamWritesThem) {
    const void* pointers[] = {nullptr, reinterpret_cast<const void*>(uintptr_t{0x7FFA12ABCDEF}),
                              reinterpret_cast<const void*>(UINTPTR_MAX)};
    std::wostringstream expected;
    MessageBuilder builder;
    for (const void* pointer : pointers) {
        expected << pointer << L' ';
        builder << pointer << L' ';
    }
    expected << INT_MIN << L' ' << INT64_MIN << L' ' << UINT64_MAX << L' ' << short{-3} << L' ' << uint8_t{200};
    builder << INT_MIN << L' ' << INT64_MIN << L' ' << UINT64_MAX << L' ' << short{-3} << L' ' << uint8_t{200};
    EXPECT_EQ(builder.str(), expected.str());
}
