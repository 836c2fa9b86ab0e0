// kestrel-pack for Windows: the arguments and the program's own path from the system, then the packer's command line.
#include "PackageReader.h"
#include "WideText.h"
#include "cli/Command.h"
#include "io/Platform.h"
#include "io/ReaderProtocol.h"

#include <windows.h>
#include <shellapi.h>

#include <memory>
#include <string>
#include <vector>

namespace {

struct LocalFreer {
    void operator()(LPWSTR* block) const { LocalFree(block); }
};

// The command line as CommandLineToArgvW splits it, without the program's name.
std::vector<std::string> arguments() {
    int count = 0;
    const std::unique_ptr<LPWSTR, LocalFreer> argv(CommandLineToArgvW(GetCommandLineW(), &count));
    std::vector<std::string> result;
    for (int i = 1; argv && i < count; ++i) {
        result.push_back(pack::platform::narrow(argv.get()[i]));
    }
    return result;
}

// Empty when the system cannot tell.
std::string programPath() {
    std::vector<wchar_t> buffer(MAX_PATH);
    for (;;) {
        const DWORD length = GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
        if (length == 0) {
            return std::string();
        }
        if (length < buffer.size()) {
            return pack::platform::narrow(std::wstring(buffer.data(), length));
        }
        buffer.resize(buffer.size() * 2);
    }
}

} // namespace

int main() {
    const std::vector<std::string> args = arguments();
    if (!args.empty() && args[0] == pack::reader::kOption) {
        return pack::platform::runPackageReader(std::vector<std::string>(args.begin() + 1, args.end()));
    }
    pack::platform::removeOutputsOnInterrupt();
    return pack::runCommand(args, programPath());
}
