// Tests of product code GUIDs: the spellings that parse, those that are refused with their message, formatting.
#include "Guid.h"

#include "ErrorHandling.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

namespace {

const tstring kCanonical = L"{A5105D72-21AD-4C72-8EAB-34DC649632B9}";
// The same GUID by fields, so parsing is checked against the bytes and not only against formatting.
const GUID kValue = {0xA5105D72, 0x21AD, 0x4C72, {0x8E, 0xAB, 0x34, 0xDC, 0x64, 0x96, 0x32, 0xB9}};

// The error's own message, or "parsed" when the text (wide, or the bytes of a resource) was accepted.
template <class Text>
std::string parseFailure(const Text& text) {
    try {
        Guid guid(text);
        return "parsed";
    } catch (const KrError<std::runtime_error>& error) {
        return error.bareMessage();
    }
}

} // namespace

TEST(Guid, DefaultIsAllZeros) {
    EXPECT_EQ(Guid().toString(), L"{00000000-0000-0000-0000-000000000000}");
}

TEST(Guid, EverySpellingParsesToTheSameValue) {
    const tstring spellings[] = {
        kCanonical,
        L"{a5105d72-21ad-4c72-8eab-34dc649632b9}",
        L"A5105D72-21AD-4C72-8EAB-34DC649632B9",
        L"{A5105D7221AD4C728EAB34DC649632B9}",
        L"A5105D7221AD4C728EAB34DC649632B9",
        L"a5105d7221ad4c728eab34dc649632b9",
    };
    for (const tstring& text : spellings) {
        SCOPED_TRACE(tstrings::encodeUtf8(text));
        const Guid guid(text);
        EXPECT_TRUE(guid.value() == kValue);
        EXPECT_EQ(guid.toString(), kCanonical);
    }
    EXPECT_EQ(Guid(std::string("{A5105D72-21AD-4C72-8EAB-34DC649632B9}")).toString(), kCanonical);
}

TEST(Guid, RefusedTextsAreNamedInTheMessageAsTheParserGotThem) {
    // Not repaired: a brace at one end only, dashes out of place, a partial set of dashes, surrounding blanks.
    EXPECT_EQ(parseFailure(L"{A5105D72-21AD-4C72-8EAB-34DC649632B9"),
              "IIDFromString({A5105D72-21AD-4C72-8EAB-34DC649632B9) failed");
    EXPECT_EQ(parseFailure(L"A5105D72-21AD-4C72-8EAB-34DC649632B9}"),
              "IIDFromString(A5105D72-21AD-4C72-8EAB-34DC649632B9}) failed");
    EXPECT_EQ(parseFailure(L"A5105D7-221AD-4C72-8EAB-34DC649632B9"),
              "IIDFromString({A5105D7-221AD-4C72-8EAB-34DC649632B9}) failed");
    EXPECT_EQ(parseFailure(L"A5105D72-21AD4C728EAB34DC649632B9"),
              "IIDFromString(A5105D72-21AD4C728EAB34DC649632B9) failed");
    EXPECT_EQ(parseFailure(L" " + kCanonical), "IIDFromString( {A5105D72-21AD-4C72-8EAB-34DC649632B9}) failed");
    // Dashes are inserted before the parser sees a bad digit.
    EXPECT_EQ(parseFailure(L"Z5105D7221AD4C728EAB34DC649632B9"),
              "IIDFromString({Z5105D72-21AD-4C72-8EAB-34DC649632B9}) failed");
    EXPECT_EQ(parseFailure(L"{G5105D72-21AD-4C72-8EAB-34DC649632B9}"),
              "IIDFromString({G5105D72-21AD-4C72-8EAB-34DC649632B9}) failed");
    EXPECT_EQ(parseFailure(L""), "IIDFromString() failed");
    EXPECT_EQ(parseFailure(L"A5105D7221AD4C728EAB34DC649632B"),
              "IIDFromString(A5105D7221AD4C728EAB34DC649632B) failed");
}

TEST(Guid, ResourceBytesAreTakenExactly) {
    const std::string canonical = "{A5105D72-21AD-4C72-8EAB-34DC649632B9}";
    EXPECT_EQ(parseFailure(canonical + "\r\n"), "IIDFromString(" + canonical + "\r\n) failed");
    EXPECT_EQ(parseFailure(canonical + " "), "IIDFromString(" + canonical + " ) failed");
    // A byte above 0x7F is one character of the same value (here U+00B9), not a sign-extended one.
    EXPECT_EQ(parseFailure(std::string("{A5105D72-21AD-4C72-8EAB-34DC649632B\xB9}")),
              "IIDFromString({A5105D72-21AD-4C72-8EAB-34DC649632B\xC2\xB9}) failed");
    // The platform parser would stop at a NUL and accept what stands before it.
    EXPECT_EQ(parseFailure(canonical + std::string(1, '\0')), "IIDFromString(" + canonical + "\\0) failed");
    EXPECT_EQ(parseFailure(std::string("{A5105D72-21AD-4C72-8EAB-34DC649632B9\0}", 39)),
              "IIDFromString({A5105D72-21AD-4C72-8EAB-34DC649632B9\\0}) failed");
}

TEST(Guid, ErrorNamesThePlaceOfParsing) {
    try {
        Guid guid(L"x");
        FAIL() << "parsed";
    } catch (const std::runtime_error& error) {
        const std::string what = error.what();
        EXPECT_EQ(what.rfind("Guid.cpp(", 0), 0u) << what;
        EXPECT_NE(what.find(") at initGuid(): IIDFromString(x) failed"), std::string::npos) << what;
    }
}

TEST(Guid, FormatFlagsCombineAndEveryFormParsesBack) {
    const Guid guid(kCanonical);
    struct Case {
        int format;
        const wchar_t* text;
    };
    const Case cases[] = {
        {Guid::NoBraces, L"A5105D72-21AD-4C72-8EAB-34DC649632B9"},
        {Guid::NoDashes, L"{A5105D7221AD4C728EAB34DC649632B9}"},
        {Guid::NoBraces | Guid::NoDashes, L"A5105D7221AD4C728EAB34DC649632B9"},
        {Guid::NoBraces | Guid::NoDashes | Guid::LowerCase, L"a5105d7221ad4c728eab34dc649632b9"},
        {Guid::LowerCase, L"{a5105d72-21ad-4c72-8eab-34dc649632b9}"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(guid.toString(c.format), c.text);
        EXPECT_EQ(Guid(guid.toString(c.format)), guid);
    }
}
