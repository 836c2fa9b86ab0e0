// Tests of the installer program's command-line syntax: which elements the launcher rewrites, and how.
#include "MsiCommandLine.h"

#include "krtest.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

TEST(ForwardedArgumentText, OnlyPropertiesQuotedAsAWholeAreRewritten) {
    const std::vector<std::pair<std::wstring, std::wstring>> cases = {
        {L"", L""},
        // As typed: blanks, tabs, odd quoting and trailing backslashes stay exactly as they are.
        {L"INSTALLDIR=\"C:\\Some Dir\\\" /qn", L"INSTALLDIR=\"C:\\Some Dir\\\" /qn"},
        {L" NOTE=\"a\"b \t/l*v  \"C:\\my log.txt\" ", L" NOTE=\"a\"b \t/l*v  \"C:\\my log.txt\" "},
        {L"\"C:\\Some Dir\\\\\" \"just text\" \"=a b\" \"1X=a\"", L"\"C:\\Some Dir\\\\\" \"just text\" \"=a b\" \"1X=a\""},
        // What a list of arguments becomes: the value read by the C runtime's rules, quotes doubled.
        {L"\"INSTALLDIR=C:\\Some Dir\" /qn", L"INSTALLDIR=\"C:\\Some Dir\" /qn"},
        {L"\"INSTALLDIR=C:\\Some Dir\\\\\"", L"INSTALLDIR=\"C:\\Some Dir\\\""},
        {L"\"NOTE=say \\\"hi\\\"\"\t\"_P.2=\"", L"NOTE=\"say \"\"hi\"\"\"\t_P.2=\"\""},
        {L"\"A=b\\\\\\\\c\\d\"", L"A=\"b\\\\\\\\c\\d\""},
        // Not quoted as a whole by those rules: left alone.
        {L"\"NOTE=a\"b", L"\"NOTE=a\"b"},
        {L"\"NOTE=a\"\"b\"", L"\"NOTE=a\"\"b\""},
        {L"\"NOTE=a\\\"", L"\"NOTE=a\\\""},
        {L"\"NOTE=open", L"\"NOTE=open"},
    };
    for (const auto& [typed, forwarded] : cases) {
        EXPECT_EQ(msi::forwardedArgumentText(typed), forwarded) << krtest::utf8(typed);
    }
}
