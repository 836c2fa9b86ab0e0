// Tests of installer actions: command lines, statuses and their records, and real removals by the installer.
#include "MsiUtils.h"

#include "Log.h"
#include "krpackages.h"
#include "krtest.h"

#include <gtest/gtest.h>
#include <shlobj.h>

#include <utility>
#include <vector>

using namespace msi;

namespace msitest {

// Raises from inside an action, after noting the user-interface level the action's state put in force.
class ThrowingAction : public action<ThrowingAction> {
public:
    explicit ThrowingAction(bool standardError) : standardError_(standardError) {}
    mutable INSTALLUILEVEL levelDuringAction = INSTALLUILEVEL_NOCHANGE;

private:
    friend class action<ThrowingAction>;
    ActionStatus execute(const tstring&) const {
        levelDuringAction = MsiSetInternalUI(INSTALLUILEVEL_NOCHANGE, nullptr);
        if (standardError_) {
            KR_RAISE("broken");
        }
        throw 42;
    }

    bool standardError_;
};

} // namespace msitest

namespace {

INSTALLUILEVEL currentUiLevel() { return MsiSetInternalUI(INSTALLUILEVEL_NOCHANGE, nullptr); }

struct Record {
    tstring level;
    tstring function;
    tstring message;
    INSTALLUILEVEL uiLevel; // in force when the record was written
};

// Collects the records written while it lives, in place of the appender installed before it.
class RecordingAppender : public LogAppender {
public:
    RecordingAppender() : previous_(Logger::global().setAppender(this)) {}
    ~RecordingAppender() override { Logger::global().setAppender(previous_); }
    void append(const LogEvent& event) override {
        records.push_back({event.levelName, event.functionName, event.message, currentUiLevel()});
    }
    std::vector<Record> records;

private:
    LogAppender* previous_;
};

// Notes the code of every installer message, and fails on the first with an error.
class MessageRecorder : public ActionCallback {
public:
    void onMessage(UINT messageType, UINT messageFlags, const tstring& text) override {
        codes.push_back({messageType, messageFlags});
        if (codes.size() == 1) {
            KR_RAISE(MessageBuilder() << "refused " << text.size());
        }
    }
    std::vector<std::pair<UINT, UINT>> codes;
};

uint32_t msiexec(const std::vector<tstring>& args) {
    wchar_t system[MAX_PATH] = {};
    GetSystemDirectoryW(system, MAX_PATH);
    return krtest::run(tstring(system) + L"\\msiexec.exe", args).exitCode;
}

tstring package(const wchar_t* pathFromBin) {
    wchar_t full[MAX_PATH] = {};
    GetFullPathNameW((krtest::binDir() + L"\\" + pathFromBin).c_str(), MAX_PATH, full, nullptr);
    return full;
}

tstring sampleFile(const tstring& name) {
    wchar_t programFiles[MAX_PATH] = {};
    SHGetFolderPathW(nullptr, CSIDL_PROGRAM_FILESX86, nullptr, SHGFP_TYPE_CURRENT, programFiles);
    return tstring(programFiles) + L"\\Kestrel Sample\\" + name;
}

bool isInstalled(const wchar_t* productCode) { return MsiQueryProductStateW(productCode) == INSTALLSTATE_DEFAULT; }

const tstring kSampleDescription =
    L"MsiConfigureProductEx(" KR_SAMPLE_PRODUCT_CODE L", 65535, 2, REBOOT=ReallySuppress) ";

// Installs kr-sample with msiexec; removes it again if a test left it installed.
class InstalledSample : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(msiexec({L"/i", package(KR_SAMPLE_MSI_FROM_BIN), L"/qn"}), 0u);
        ASSERT_TRUE(isInstalled(KR_SAMPLE_PRODUCT_CODE));
        ASSERT_TRUE(krtest::exists(sampleFile(L"Gr\u00fc\u00dfe.txt")));
    }
    void TearDown() override {
        if (isInstalled(KR_SAMPLE_PRODUCT_CODE)) {
            msiexec({L"/x", KR_SAMPLE_PRODUCT_CODE, L"/qn"});
        }
    }
    const Guid productCode_{tstring(KR_SAMPLE_PRODUCT_CODE)};
};

} // namespace

TEST(CommandLine, ExtraArgumentsAndPropertiesAreTrimmedAndJoinedByOneBlank) {
    uninstall removal;
    EXPECT_EQ(removal.composeCommandLine(), L"REBOOT=ReallySuppress");
    removal.extraArgs = L" \t/x \t";
    EXPECT_EQ(removal.composeCommandLine(), L"/x REBOOT=ReallySuppress");

    ActionData data;
    EXPECT_EQ(data.composeCommandLine(), L"");
    data.extraArgs = L"\t /l*v \"a b.log\" ";
    EXPECT_EQ(data.composeCommandLine(), L"/l*v \"a b.log\"");
}

TEST(CommandLine, ValuesAreQuotedAndPropertiesOrderedByName) {
    ActionData data;
    data.properties[L"b"] = L"two words";
    data.properties[L"Q"] = L"say\"hi\"";
    data.properties[L"E"] = L"";
    data.properties[L"T"] = L"tab\there";
    data.properties[L"A"] = L"a \"b\"";
    // Ordinal order: upper-case names before lower-case ones.
    EXPECT_EQ(data.composeCommandLine(), L"A=\"a \"\"b\"\"\" E=\"\" Q=say\"\"hi\"\" T=\"tab\there\" b=\"two words\"");
}

TEST(Status, SuccessCodesAreLoggedAtInfoAndFailuresCarryTheirText) {
    RecordingAppender appender;
    const ActionStatus done = handleMsiStatus(L"Call(x) ", 0);
    const ActionStatus restart = handleMsiStatus(L"Call(x) ", 3010);
    const ActionStatus initiated = handleMsiStatus(L"Call(x) ", 1641);
    const ActionStatus unknown = handleMsiStatus(L"Call(x) ", 1605);

    EXPECT_TRUE(done.isSuccess() && restart.isSuccess() && initiated.isSuccess());
    EXPECT_EQ(done.message + restart.message + initiated.message, "");
    EXPECT_EQ(restart.code, 3010);
    EXPECT_FALSE(unknown.isSuccess());
    EXPECT_EQ(unknown.code, 1605);
    EXPECT_EQ(unknown.message, "Call(x) failed [1605]");
    EXPECT_FALSE((ActionStatus{"", 1}).isSuccess());

    ASSERT_EQ(appender.records.size(), 3u);
    EXPECT_EQ(appender.records[0].message, L"Call(x) succeeded");
    EXPECT_EQ(appender.records[1].message, L"Call(x) succeeded [3010]");
    EXPECT_EQ(appender.records[2].message, L"Call(x) succeeded [1641]");
    for (const Record& record : appender.records) {
        EXPECT_EQ(record.level, L"INFO");
        EXPECT_EQ(record.function, L"msi::handleMsiStatus");
    }
}

TEST(Package, FailingPackageNeverInstalls) {
    EXPECT_EQ(msiexec({L"/i", package(KR_FAILS_MSI_FROM_BIN), L"/qn"}), 1603u);
    EXPECT_FALSE(isInstalled(KR_FAILS_PRODUCT_CODE));
}

TEST_F(InstalledSample, UninstallRemovesTheProductAndRestoresTheUiLevel) {
    const UiLevelScope before(INSTALLUILEVEL_BASIC);
    RecordingAppender appender;
    const ActionStatus status = uninstall().productCode(productCode_)(std::nothrow);

    EXPECT_EQ(status.code, 0);
    EXPECT_EQ(status.message, "");
    ASSERT_EQ(appender.records.size(), 1u);
    EXPECT_EQ(appender.records[0].level, L"INFO");
    EXPECT_EQ(appender.records[0].message, kSampleDescription + L"succeeded");
    EXPECT_EQ(currentUiLevel(), INSTALLUILEVEL_BASIC);
    EXPECT_FALSE(isInstalled(KR_SAMPLE_PRODUCT_CODE));
    EXPECT_FALSE(krtest::exists(sampleFile(L"Gr\u00fc\u00dfe.txt")));
    EXPECT_FALSE(krtest::exists(sampleFile(L"readme.txt")));
}

TEST_F(InstalledSample, CallbackGetsTheMessagesAndItsErrorsStopAtTheAdapter) {
    krtest::ScratchDir scratch;
    MessageRecorder recorder;
    uninstall removal;
    removal.productCode(productCode_).callback = &recorder;
    removal.logFile = scratch.file(L"uninstall.log");
    RecordingAppender appender;
    const ActionStatus status = removal(std::nothrow);

    EXPECT_EQ(status.code, 0);
    EXPECT_FALSE(isInstalled(KR_SAMPLE_PRODUCT_CODE));
    ASSERT_FALSE(recorder.codes.empty());
    for (const auto& [type, flags] : recorder.codes) {
        EXPECT_EQ(type & 0x00FFFFFFu, 0u);
        EXPECT_EQ(flags & 0xFF000000u, 0u);
    }
    ASSERT_EQ(appender.records.size(), 2u);
    EXPECT_EQ(appender.records[0].level, L"ERROR");
    EXPECT_NE(appender.records[0].function.find(L"CallbackTrigger::adapter"), tstring::npos);
    EXPECT_NE(appender.records[0].message.find(L"refused"), tstring::npos);
    EXPECT_EQ(appender.records[1].message, kSampleDescription + L"succeeded");
    // The handler was removed with the action's state.
    EXPECT_EQ(MsiSetExternalUIW(nullptr, 0, nullptr), nullptr);
    EXPECT_FALSE(krtest::readFile(removal.logFile).empty());
}

TEST(Uninstall, ProductThatIsNotInstalledGives1605LoggedAtError) {
    const UiLevelScope before(INSTALLUILEVEL_BASIC);
    RecordingAppender appender;
    const ActionStatus status = uninstall().productCode(Guid(tstring(KR_FAILS_PRODUCT_CODE)))(std::nothrow);

    EXPECT_EQ(status.code, 1605);
    EXPECT_EQ(status.message,
              "MsiConfigureProductEx(" + krtest::utf8(KR_FAILS_PRODUCT_CODE) +
                  ", 65535, 2, REBOOT=ReallySuppress) failed [1605]");
    ASSERT_EQ(appender.records.size(), 1u);
    EXPECT_EQ(appender.records[0].level, L"ERROR");
    EXPECT_EQ(appender.records[0].function, L"msi::action<msi::uninstall>::operator()");
    EXPECT_EQ(krtest::utf8(appender.records[0].message), status.message);
    EXPECT_EQ(currentUiLevel(), INSTALLUILEVEL_BASIC);
}

TEST(Action, ErrorInsideTheActionGives1359AfterTheSettingsAreRestored) {
    const UiLevelScope before(INSTALLUILEVEL_BASIC);
    for (const bool standardError : {true, false}) {
        RecordingAppender appender;
        msitest::ThrowingAction throwing(standardError);
        throwing.uiLevel = INSTALLUILEVEL_REDUCED;
        const ActionStatus status = throwing(std::nothrow);

        EXPECT_EQ(status.code, 1359);
        EXPECT_EQ(status.message, "Unknown error");
        EXPECT_EQ(throwing.levelDuringAction, INSTALLUILEVEL_REDUCED);
        EXPECT_EQ(currentUiLevel(), INSTALLUILEVEL_BASIC);
        ASSERT_EQ(appender.records.size(), 1u);
        const Record& report = appender.records[0];
        EXPECT_EQ(report.level, L"ERROR");
        EXPECT_EQ(report.function, L"msi::action<msitest::ThrowingAction>::operator()");
        EXPECT_EQ(report.uiLevel, INSTALLUILEVEL_BASIC);
        if (standardError) {
            EXPECT_EQ(report.message.rfind(L"Exception with message 'MsiUtils_test.cpp("), 0u) << report.message;
            EXPECT_TRUE(tstrings::hasSuffix(report.message, L": broken' caught")) << report.message;
        } else {
            EXPECT_EQ(report.message, L"Unknown exception caught");
        }
    }
}
