// Tests of the package reading child on this system: a crash, a hang or a garbled answer is a damaged package,
// and the child leaves no core file and no zombie. This program is the child too (ReaderTestMain.cpp).
#include "ChildProcess.h"
#include "PackError.h"
#include "PackTest.h"
#include "io/Platform.h"
#include "io/ReaderProtocol.h"

#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <functional>

namespace {

using pack::platform::ChildResult;
using packtest::ScratchDir;

const std::string kPackage = KR_TEST_PACKAGE;
const char kSelf[] = "/proc/self/exe";
constexpr std::chrono::seconds kGenerousLimit(30);

// The reading child's fault for the scope: it reads the variable, this process does not.
class Fault {
public:
    explicit Fault(const char* fault) { ::setenv(pack::reader::kFaultVariable, fault, 1); }
    ~Fault() { ::unsetenv(pack::reader::kFaultVariable); }
    Fault(const Fault&) = delete;
    Fault& operator=(const Fault&) = delete;
};

// This process works in `directory` for the scope, as the core file of a crashing child would land there.
class WorkingDirectory {
public:
    explicit WorkingDirectory(const std::string& directory) : saved_(::getcwd(nullptr, 0)) {
        EXPECT_EQ(::chdir(directory.c_str()), 0);
    }
    ~WorkingDirectory() {
        if (saved_) {
            (void)!::chdir(saved_);
            std::free(saved_);
        }
    }
    WorkingDirectory(const WorkingDirectory&) = delete;
    WorkingDirectory& operator=(const WorkingDirectory&) = delete;

private:
    char* saved_;
};

std::string failureOf(const std::function<void()>& action) {
    try {
        action();
    } catch (const pack::Error& error) {
        return error.what();
    }
    return "<no error>";
}

// Every child this process started has been waited for.
bool noChildLeft() { return ::waitpid(-1, nullptr, WNOHANG) == -1 && errno == ECHILD; }

TEST(ReadingChild, CrashIsADamagedPackageWithNoCoreFileAndNoZombie) {
    // Core files as large as they come, in a directory of their own, were the child to leave one.
    struct rlimit core = {};
    ASSERT_EQ(::getrlimit(RLIMIT_CORE, &core), 0);
    core.rlim_cur = core.rlim_max;
    ASSERT_EQ(::setrlimit(RLIMIT_CORE, &core), 0);
    const ScratchDir dir;
    const WorkingDirectory inside(dir.path());
    const Fault crash("crash");

    const ChildResult result =
        pack::platform::runChild(kSelf, pack::reader::propertiesRequest(kPackage), kGenerousLimit, 1 << 20);
    EXPECT_EQ(result.end, ChildResult::End::Signalled);
    EXPECT_EQ(result.status, SIGSEGV);
    EXPECT_FALSE(result.coreDumped);

    EXPECT_EQ(failureOf([] { pack::platform::readProperties(kPackage); }),
              "Cannot read the package '" + kPackage + "': it is damaged (the installer library failed while reading it)");
    EXPECT_EQ(failureOf([] { pack::platform::readIconRow(kPackage, "ProductIcon"); }),
              pack::reader::damagedMessage(kPackage));
    EXPECT_TRUE(dir.list().empty()) << dir.list().front();
    EXPECT_TRUE(noChildLeft());
}

TEST(ReadingChild, HangIsKilledAtTheTimeLimitAndOverlongOutputAtItsBound) {
    {
        const Fault hang("hang");
        const auto start = std::chrono::steady_clock::now();
        const ChildResult result = pack::platform::runChild(kSelf, pack::reader::propertiesRequest(kPackage),
                                                            std::chrono::milliseconds(300), 1 << 20);
        EXPECT_EQ(result.end, ChildResult::End::TimedOut);
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    }
    // The real answer, cut off by a bound a few bytes too small.
    const ChildResult whole =
        pack::platform::runChild(kSelf, pack::reader::propertiesRequest(kPackage), kGenerousLimit, 1 << 20);
    ASSERT_EQ(whole.end, ChildResult::End::Exited);
    const ChildResult cut = pack::platform::runChild(kSelf, pack::reader::propertiesRequest(kPackage),
                                                     kGenerousLimit, whole.output.size() - 3);
    EXPECT_EQ(cut.end, ChildResult::End::OutputTooLong);
    EXPECT_TRUE(noChildLeft());
}

TEST(ReadingChild, OnlyAWholeWellFormedAnswerIsTaken) {
    const ChildResult result =
        pack::platform::runChild(kSelf, pack::reader::propertiesRequest(kPackage), kGenerousLimit, 1 << 20);
    ASSERT_EQ(result.end, ChildResult::End::Exited);
    ASSERT_EQ(result.status, 0);
    const std::string& answer = result.output;
    EXPECT_EQ(pack::reader::propertiesFromAnswer(answer, kPackage).at("ProductCode"), KR_TEST_PRODUCT_CODE);

    const std::string damaged = pack::reader::damagedMessage(kPackage);
    for (size_t size = 0; size < answer.size(); ++size) {
        EXPECT_EQ(failureOf([&] { pack::reader::propertiesFromAnswer(answer.substr(0, size), kPackage); }), damaged)
            << "cut to " << size;
    }
    EXPECT_EQ(failureOf([&] { pack::reader::propertiesFromAnswer(answer + '\0', kPackage); }), damaged);
    EXPECT_EQ(failureOf([&] { pack::reader::iconRowFromAnswer(answer, kPackage); }), damaged);
    EXPECT_EQ(failureOf([&] { pack::reader::propertiesFromAnswer(pack::reader::damageAnswer(), kPackage); }), damaged);

    const Fault garble("garble");
    EXPECT_EQ(failureOf([] { pack::platform::readProperties(kPackage); }), damaged);
    EXPECT_TRUE(noChildLeft());
}

} // namespace
