// The main of the test programs that pack in their own process: as kestrel-pack does, started with the reader option
// it becomes the package reading child that packing starts; otherwise it runs its tests.
#include "PackageReader.h"
#include "io/ReaderProtocol.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#ifdef _WIN32
#include "WideText.h"

#include <windows.h>
#include <shellapi.h>

namespace {

// The arguments after the program's name, as kestrel-pack.exe reads them: UTF-16 from the system, in UTF-8.
std::vector<std::string> arguments(int, char**) {
    int count = 0;
    LPWSTR* const argv = CommandLineToArgvW(GetCommandLineW(), &count);
    std::vector<std::string> result;
    for (int i = 1; argv && i < count; ++i) {
        result.push_back(pack::platform::narrow(argv[i]));
    }
    LocalFree(argv);
    return result;
}

} // namespace
#else
namespace {

std::vector<std::string> arguments(int argc, char** argv) { return std::vector<std::string>(argv + 1, argv + argc); }

} // namespace
#endif

int main(int argc, char** argv) {
    const std::vector<std::string> given = arguments(argc, argv);
    if (!given.empty() && given[0] == pack::reader::kOption) {
        return pack::platform::runPackageReader(std::vector<std::string>(given.begin() + 1, given.end()));
    }
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
