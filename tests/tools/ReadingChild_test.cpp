// The package reading child on Windows: killed with all it started at the time limit, and a garbled answer taken
// for a damaged package. This program is the child too (ReaderTestMain.cpp).
#include "ChildProcess.h"
#include "PackError.h"
#include "io/Platform.h"
#include "io/ReaderProtocol.h"
#include "WideText.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <chrono>

namespace {

using pack::platform::ChildResult;

// Never opened: the faults come before the child reads.
const std::string kPackage = "C:\\no such package.msi";

// The reading child's fault for the scope: it reads the variable, this process does not.
class Fault {
public:
    explicit Fault(const char* fault) {
        SetEnvironmentVariableW(pack::platform::widen(pack::reader::kFaultVariable).c_str(),
                                pack::platform::widen(fault).c_str());
    }
    ~Fault() { SetEnvironmentVariableW(pack::platform::widen(pack::reader::kFaultVariable).c_str(), nullptr); }
    Fault(const Fault&) = delete;
    Fault& operator=(const Fault&) = delete;
};

TEST(ReadingChild, HangIsKilledAtTheTimeLimitAndGarbleIsADamagedPackage) {
    {
        const Fault hang("hang");
        const auto start = std::chrono::steady_clock::now();
        const ChildResult result = pack::platform::runChild(pack::platform::ownProgramPath(),
                                                            pack::reader::propertiesRequest(kPackage),
                                                            std::chrono::milliseconds(500), 1 << 20);
        EXPECT_EQ(result.end, ChildResult::End::TimedOut);
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
    }
    const Fault garble("garble");
    try {
        pack::platform::readProperties(kPackage);
        ADD_FAILURE() << "a garbled answer was taken";
    } catch (const pack::Error& error) {
        EXPECT_EQ(std::string(error.what()), pack::reader::damagedMessage(kPackage));
    }
}

} // namespace
