// Tests of the texts of failed Windows calls and of system error descriptions.
#include "WinErrorHandling.h"

#include "RecordingAppender.h"

#include <gtest/gtest.h>

#include <cerrno>

namespace {

HMODULE thisModule() { return GetModuleHandleW(nullptr); }

} // namespace

TEST(SystemErrorText, CleansLineBreaksTabsAndFinalPeriods) {
    EXPECT_EQ(getSystemErrorText(0x20000001, thisModule()), L".");
    EXPECT_EQ(getSystemErrorText(0x20000002, thisModule()), L"Trailing text");
    EXPECT_EQ(getSystemErrorText(0x20000003, thisModule()), L"Tab here  line two");
    EXPECT_EQ(formatSystemError(0x20000002, thisModule()), L"system error 536870914 (Trailing text)");
}

TEST(SystemErrorText, FallsBackToTheSystemTableThenToNoDescription) {
    const tstring accessDenied = getSystemErrorText(ERROR_ACCESS_DENIED, nullptr);
    EXPECT_FALSE(accessDenied.empty());
    EXPECT_NE(accessDenied.back(), L'.');
    EXPECT_EQ(accessDenied.find_first_of(L"\r\n\t"), tstring::npos);
    EXPECT_EQ(getSystemErrorText(ERROR_ACCESS_DENIED, thisModule()), accessDenied);
    EXPECT_EQ(getSystemErrorText(0x2000FFFF, nullptr), L"No description available");
}

TEST(MakeMessage, WorkedExampleWithLabelCodeAndDescription) {
    HMODULE owner = nullptr;
    ASSERT_TRUE(GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                                   reinterpret_cast<LPCWSTR>(CreateDirectoryW), &owner));
    const std::string description = tstrings::encodeUtf8(getSystemErrorText(5, owner));
    const SysError error(MessageBuilder() << "CreateDirectoryW(C:\\x) failed", CreateDirectoryW, 5, "System error");
    EXPECT_EQ(std::string(error.what()),
              "CreateDirectoryW(C:\\x) failed. System error [5](system error 5 (" + description + "))");
    EXPECT_EQ(makeMessage("caller", nullptr, nullptr, 5), "caller. Some error [5](system error 5 (" +
                                                                tstrings::encodeUtf8(getSystemErrorText(5, nullptr)) +
                                                                "))");
}

TEST(MakeMessage, TopBitCodeIsUnsigned) {
    const std::string text = makeMessage("x", "System error", nullptr, 0x80070005u);
    EXPECT_NE(text.find("System error [2147942405](system error 2147942405 ("), std::string::npos) << text;
}

TEST(MakeMessage, UnknownModuleGivesWarningAndNoDescription) {
    krtest::RecordingAppender recording;
    const void* heapAddress = &recording;
    const std::string text = makeMessage("caller text", "System error", heapAddress, 5);
    EXPECT_EQ(text, "caller text. System error [5]");
    const auto warnings = recording.messages(L"WARNING");
    ASSERT_EQ(warnings.size(), 1u);
    EXPECT_EQ(warnings[0].rfind(L"GetModuleHandleEx() failed for ", 0), 0u);
    EXPECT_EQ(warnings[0].substr(warnings[0].size() - 9), L" address.");
    EXPECT_EQ(recording.records[0].function, L"makeMessage");
    EXPECT_EQ(recording.records[0].file, L"WinErrorHandling.cpp");
}

TEST(RuntimeErrorText, DescribesCurrentErrno) {
    errno = ENOENT;
    const std::string text = lastRuntimeErrorText();
    EXPECT_FALSE(text.empty());
    EXPECT_NE(text.find("No such file"), std::string::npos) << text;
}
