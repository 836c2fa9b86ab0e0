// Tests of located errors, function labels, message joining and caught-error records.
#include "ErrorHandling.h"

#include "RecordingAppender.h"
#include "krtest.h"
#include "WinErrorHandling.h"

#include <gtest/gtest.h>

namespace {

const int kRaiseLine = __LINE__ + 1;
[[noreturn]] void raiseFromAnonymousNamespace() { KR_RAISE("inner failure"); }

struct Thrower {
    [[noreturn]] void member(int) const { KR_RAISE(MessageBuilder() << "member " << 7); }
};

template <class T>
struct Holder {
    [[noreturn]] void raise() { KR_RAISE(std::string("templated")); }
};

} // namespace

namespace FileUtils {
namespace {
const char* labelHere() { return KR_HERE.function; }
} // namespace
} // namespace FileUtils

TEST(FunctionLabel, QualifiedNamesWithoutSignature) {
    EXPECT_STREQ(FileUtils::labelHere(), "FileUtils::`anonymous-namespace'::labelHere");
    EXPECT_STREQ(functionLabel("int Executor::execAndWaitForExit()"), "Executor::execAndWaitForExit");
    EXPECT_STREQ(functionLabel("const void* Resource::getPtr(DWORD&) const"), "Resource::getPtr");
    EXPECT_STREQ(functionLabel("Console::~Console()"), "Console::~Console");
    EXPECT_STREQ(functionLabel("msi::ActionStatus msi::action<T>::operator()(const std::nothrow_t&) "
                               "[with T = msi::uninstall]"),
                 "msi::action<msi::uninstall>::operator()");
    EXPECT_STREQ(functionLabel("std::vector<std::pair<int, int> > ns::f(std::function<void(int)>)"), "ns::f");
    EXPECT_STREQ(wideFunctionLabel("void app::launch()"), L"app::launch");
    EXPECT_STREQ(functionLabel("FileUtils::deleteAll(const tstring&, const std::nothrow_t&)::<lambda()>"),
                 "FileUtils::deleteAll");
    EXPECT_STREQ(functionLabel("void msi::action<T>::run() [with T = msi::{anonymous}::Failing]"),
                 "msi::action<msi::`anonymous-namespace'::Failing>::run");
    const auto fromLambda = [] { return KR_HERE.function; };
    EXPECT_STREQ(fromLambda(), "FunctionLabel_QualifiedNamesWithoutSignature_Test::TestBody");
}

TEST(KrErrorTest, LocatedMessageAndBareMessageOverRuntimeError) {
    try {
        raiseFromAnonymousNamespace();
        FAIL();
    } catch (const KrError<std::runtime_error>& error) {
        const std::string what = error.what();
        EXPECT_EQ(what.rfind("ErrorHandling_test.cpp(" + std::to_string(kRaiseLine) + ")", 0), 0u) << what;
        EXPECT_NE(what.find(") at `anonymous-namespace'::raiseFromAnonymousNamespace(): inner failure"),
                  std::string::npos)
            << what;
        EXPECT_STREQ(error.bareMessage(), "inner failure");
    }
    try {
        Thrower().member(1);
        FAIL();
    } catch (const std::runtime_error& error) {
        EXPECT_NE(std::string(error.what()).find(" at `anonymous-namespace'::Thrower::member(): member 7"),
                  std::string::npos)
            << error.what();
        EXPECT_STREQ(dynamic_cast<const KrErrorBase&>(error).bareMessage(), "member 7");
    }
    try {
        Holder<int>().raise();
        FAIL();
    } catch (const KrErrorBase& error) {
        EXPECT_STREQ(error.bareMessage(), "templated");
    }
}

TEST(KrErrorTest, OverSysErrorKeepsLabelAndCodeInBareMessage) {
    try {
        KR_RAISE(SysError(MessageBuilder() << "DeleteFile(x) failed", DeleteFileW, 2, "System error"));
    } catch (const KrError<SysError>& error) {
        const std::string bare = error.bareMessage();
        EXPECT_EQ(bare.rfind("DeleteFile(x) failed. System error [2](system error 2 (", 0), 0u) << bare;
        const std::string what = error.what();
        const std::string located = ") at KrErrorTest_OverSysErrorKeepsLabelAndCodeInBareMessage_Test::TestBody(): ";
        EXPECT_EQ(what.rfind("ErrorHandling_test.cpp(", 0), 0u) << what;
        EXPECT_NE(what.find(located + bare), std::string::npos) << what;
    }
}

TEST(JoinMessages, SeparatorsFollowFinalPunctuation) {
    EXPECT_EQ(joinMessages("first", "second"), "first. second");
    EXPECT_EQ(joinMessages("first!", "second"), "first! second");
    EXPECT_EQ(joinMessages("a;", " b "), "a; b");
    EXPECT_EQ(joinMessages("done.  ", ""), "done.");
    EXPECT_EQ(joinMessages("done", "  \t"), "done");
    EXPECT_EQ(joinMessages("   ", "second  "), "second");
    EXPECT_EQ(joinMessages("  lead", "x"), "  lead. x");
    EXPECT_EQ(joinMessages("", ""), "");
}

TEST(CaughtErrorRecords, NameCatcherAndThrowerAndKeepNonAsciiText) {
    krtest::RecordingAppender recording;
    try {
        KR_RAISE(MessageBuilder() << "cannot open C:\\Users\\J\u00fcrgen\\\u6587\u4ef6");
    } catch (const std::runtime_error& error) {
        logCaughtError(SourceLocation{"windows\\native\\common\\WinApp.cpp", "app::launch", 42}, error);
    }
    logUnknownError(SourceLocation{"a/b/c.cpp", "x::y", 9});
    ASSERT_EQ(recording.records.size(), 2u);
    const krtest::Record& caught = recording.records[0];
    EXPECT_EQ(caught.level, L"ERROR");
    EXPECT_EQ(caught.file, L"WinApp.cpp");
    EXPECT_EQ(caught.line, 42);
    EXPECT_EQ(caught.function, L"app::launch");
    EXPECT_EQ(caught.message.rfind(L"Exception with message 'ErrorHandling_test.cpp(", 0), 0u);
    EXPECT_NE(caught.message.find(L"(): cannot open C:\\Users\\J\u00fcrgen\\\u6587\u4ef6' caught"), tstring::npos)
        << krtest::utf8(caught.message);
    EXPECT_EQ(recording.records[1].message, L"Unknown exception caught");
    EXPECT_EQ(recording.records[1].file, L"c.cpp");
}

TEST(RunGuarded, ReportsAndSwallows) {
    krtest::RecordingAppender recording;
    EXPECT_TRUE(runGuarded(KR_HERE, [] {}));
    EXPECT_FALSE(runGuarded(KR_HERE, [] { KR_RAISE("boom"); }));
    EXPECT_FALSE(runGuarded(KR_HERE, [] { throw 42; }));
    ASSERT_EQ(recording.records.size(), 2u);
    EXPECT_NE(recording.records[0].message.find(L"boom' caught"), tstring::npos);
    EXPECT_EQ(recording.records[1].message, L"Unknown exception caught");
}
