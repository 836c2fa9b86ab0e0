// Tests of reading an installer database: the product's properties, long values, and files that are no package.
#include "MsiDatabase.h"

#include "PackageEdit.h"
#include "Raised.h"
#include "RecordingAppender.h"
#include "krpack.h"
#include "krtest.h"

#include <gtest/gtest.h>

#include <map>
#include <string>

namespace {

const std::wstring kPackage = krtest::binPath(KR_PACKTEST_MSI_FROM_BIN);

TEST(MsiDatabase, ReadsTheProductProperties) {
    krtest::RecordingAppender log;
    const msi::Database database(kPackage);
    const std::map<tstring, tstring> properties = database.properties();
    EXPECT_EQ(properties.at(L"ProductCode"), KR_PACKTEST_PRODUCT_CODE);
    EXPECT_EQ(properties.at(L"ProductName"), L"Kestrel Packtest");
    EXPECT_EQ(properties.at(L"ProductVersion"), L"2.5.17");
    // Stored in code page 1252, read back as UTF-16.
    EXPECT_EQ(properties.at(L"Manufacturer"), L"Kestrel Pr\u00fcfstand");
    EXPECT_EQ(database.getProperty(L"ProductName"), L"Kestrel Packtest");
    EXPECT_EQ(database.path(), kPackage);
    EXPECT_TRUE(log.mentions(L"Read " + std::to_wstring(properties.size()) + L" properties of '" + kPackage + L"'"));
}

TEST(MsiDatabase, AbsentPropertyRaisesNamingItAndTheFile) {
    krtest::RecordingAppender log;
    const msi::Database database(kPackage);
    EXPECT_EQ(krtest::raisedBy([&] { database.getProperty(L"KR_NOT_THERE"); }).bare,
              "'" + krtest::utf8(kPackage) + "' has no property KR_NOT_THERE");
}

// The first buffer holds 127 characters and the terminator; longer values need the second call.
TEST(MsiDatabase, ReadsValuesAroundTheFirstBufferSizeWhole) {
    krtest::ScratchDir scratch;
    const std::wstring copy = scratch.file(L"long.msi");
    const std::wstring fits(127, L'a');
    const std::wstring oneMore(128, L'b');
    const std::wstring longer = std::wstring(1000, L'c') + L"\u00e9nd";
    krtest::RecordingAppender log;
    packtest::editCopy(kPackage, copy,
                       {L"INSERT INTO `Property` (`Property`, `Value`) VALUES ('KR_FITS', '" + fits + L"')",
                        L"INSERT INTO `Property` (`Property`, `Value`) VALUES ('KR_ONE_MORE', '" + oneMore + L"')",
                        L"INSERT INTO `Property` (`Property`, `Value`) VALUES ('KR_LONGER', '" + longer + L"')"});
    const msi::Database database(copy);
    EXPECT_EQ(database.getProperty(L"KR_FITS"), fits);
    EXPECT_EQ(database.getProperty(L"KR_ONE_MORE"), oneMore);
    EXPECT_EQ(database.getProperty(L"KR_LONGER"), longer);
}

TEST(MsiDatabase, DatabaseWithoutPropertyTableHasNoProperties) {
    krtest::ScratchDir scratch;
    const std::wstring copy = scratch.file(L"noproperties.msi");
    krtest::RecordingAppender log;
    packtest::editCopy(kPackage, copy, {L"DROP TABLE `Property`"});
    EXPECT_TRUE(msi::Database(copy).properties().empty());
}

TEST(MsiDatabase, RefusesFilesThatAreNoDatabaseNamingThem) {
    krtest::ScratchDir scratch;
    const std::wstring text = scratch.file(L"readme.msi");
    krtest::writeFile(text, "not a database\r\n");
    const std::wstring empty = scratch.file(L"empty.msi");
    krtest::writeFile(empty, "");
    for (const std::wstring& path : {text, empty, scratch.file(L"missing.msi")}) {
        const std::string message = krtest::raisedBy([&] { msi::Database database(path); }).bare;
        EXPECT_EQ(message.rfind("Cannot open '" + krtest::utf8(path) + "' as a Windows Installer package. ", 0), 0u)
            << message;
    }
}

} // namespace
