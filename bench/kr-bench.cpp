// Benchmark driver: whole-launcher installs against the installer alone, the launcher's private bytes while it
// extracts, and packing against a plain copy. Each command prints its measurements as sample lines.
#include "BenchSupport.h"
#include "ErrorHandling.h"
#include "WinSysInfo.h"

#include <windows.h>
#include <msi.h>
#include <psapi.h>

#include <algorithm>
#include <string>
#include <vector>

namespace {

const char kUsage[] =
    "kr-bench install <key> <package.msi> <product code> <runs> <name>=<setup.exe>...\n"
    "       kr-bench memory <key> <runs> <name>=<setup.exe>...\n"
    "       kr-bench pack <key> <kestrel-pack.exe> <package.msi> <runs>\n"
    "       kr-bench copy <source> <destination>";

// Most a step may take before the driver gives up on it.
const double kStepLimitMs = 120000.0;

struct Contender {
    std::string name;
    tstring program;
    tstring_array args;
};

// "<name>=<program>" arguments from `first` on, each run with `args`.
std::vector<Contender> namedPrograms(const tstring_array& all, size_t first, const tstring_array& args) {
    std::vector<Contender> contenders;
    for (size_t i = first; i < all.size(); ++i) {
        const size_t equals = all[i].find(L'=');
        if (equals == 0 || equals == tstring::npos) {
            KR_RAISE(MessageBuilder() << "expected <name>=<program>, got " << all[i]);
        }
        contenders.push_back({tstrings::encodeUtf8(all[i].substr(0, equals)), all[i].substr(equals + 1), args});
    }
    if (contenders.empty()) {
        KR_RAISE("no program to measure");
    }
    return contenders;
}


// Installs: each contender installs the package silently; the product is removed again, untimed, after each.
class InstallBench {
public:
    explicit InstallBench(const tstring& productCode) : productCode_(productCode) {}

    void remove() const {
        const uint32_t code = bench::runProgram(SysInfo::getMsiexecPath(), {L"/x", productCode_, L"/qn"});
        if ((code != ERROR_SUCCESS && code != ERROR_UNKNOWN_PRODUCT) || installed()) {
            KR_RAISE(MessageBuilder() << "cannot remove " << productCode_ << ": the installer exited with " << code);
        }
    }

    // The launcher started and ended with nothing to install: "uninstall" of the absent product.
    double start(const Contender& contender) const {
        const bench::Stopwatch clock;
        bench::runExpecting(ERROR_UNKNOWN_PRODUCT, contender.program, {L"uninstall"});
        return clock.elapsedMs();
    }

    double install(const Contender& contender) const {
        const bench::Stopwatch clock;
        bench::runExpecting(ERROR_SUCCESS, contender.program, contender.args);
        const double elapsed = clock.elapsedMs();
        if (!installed()) {
            KR_RAISE(MessageBuilder() << contender.program << " reported success but " << productCode_
                                      << " is not installed");
        }
        remove();
        return elapsed;
    }

private:
    bool installed() const { return MsiQueryProductStateW(productCode_.c_str()) == INSTALLSTATE_DEFAULT; }

    tstring productCode_;
};

void installCommand(const tstring_array& args) {
    if (args.size() < 6) {
        KR_RAISE(kUsage);
    }
    const std::string key = tstrings::encodeUtf8(args[1]);
    const tstring& package = args[2];
    const unsigned runs = bench::parseCount(args[4]);
    std::vector<Contender> contenders = namedPrograms(args, 5, {L"/qn"});
    const size_t launchers = contenders.size();
    contenders.push_back({"msiexec", SysInfo::getMsiexecPath(), {L"/i", package, L"/qn"}});

    const InstallBench installs(args[3]);
    installs.remove();
    // An untimed install by each warms the page cache with the package and the launchers.
    for (const Contender& contender : contenders) {
        installs.install(contender);
    }
    // Each run rotates the order, so no contender always follows the same one.
    for (unsigned run = 0; run < runs; ++run) {
        for (size_t i = 0; i < contenders.size(); ++i) {
            const size_t index = (i + run) % contenders.size();
            const Contender& contender = contenders[index];
            bench::printSample(key + "." + contender.name, installs.install(contender));
            if (index < launchers) {
                bench::printSample(key + "." + contender.name + ".start", installs.start(contender));
            }
        }
    }
}

// What the process holds privately. Windows reports the private bytes and keeps their peak; Wine leaves
// PrivateUsage at 0 and reports the process's anonymous memory as the current and the peak page-file usage.
SIZE_T privateBytes(HANDLE process) {
    PROCESS_MEMORY_COUNTERS_EX counters{};
    counters.cb = sizeof(counters);
    if (!GetProcessMemoryInfo(process, reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&counters), sizeof(counters))) {
        return 0;
    }
    return std::max({counters.PrivateUsage, counters.PagefileUsage, counters.PeakPagefileUsage});
}

struct MemoryRun {
    SIZE_T peak = 0;
    SIZE_T waiting = 0;
    unsigned samples = 0;
};

// One launcher run with the installer's usage request "/?": the installer is started only once the package is
// written, and then waits in its usage box. The launcher starts suspended and is sampled without pause from
// its first instruction until its installer appears; the last sample is taken while it waits for the
// installer, after all of its extraction. Then the box is closed and the launcher ends as usual.
MemoryRun measureMemory(const tstring& launcher) {
    bench::SuspendedProcess process(launcher, {L"/?"});
    MemoryRun result;
    const bench::Stopwatch clock;
    process.resume();
    DWORD installer = 0;
    while (installer == 0) {
        result.peak = std::max(result.peak, privateBytes(process.handle()));
        ++result.samples;
        if (result.samples % 32 != 0) {
            continue;
        }
        installer = bench::findChildProcess(process.id(), L"msiexec.exe");
        uint32_t exitCode = 0;
        if (installer == 0 && process.waitForExit(0, exitCode)) {
            KR_RAISE(MessageBuilder() << launcher << " exited with " << exitCode << " before starting the installer");
        }
        if (bench::closeDialogsOf(process.id()) > 0) {
            KR_RAISE(MessageBuilder() << launcher << " showed an error box");
        }
        if (clock.elapsedMs() > kStepLimitMs) {
            KR_RAISE(MessageBuilder() << launcher << " did not start the installer");
        }
    }
    result.waiting = privateBytes(process.handle());
    result.peak = std::max(result.peak, result.waiting);

    uint32_t exitCode = 0;
    while (!process.waitForExit(50, exitCode)) {
        bench::closeDialogsOf(installer);
        if (clock.elapsedMs() > kStepLimitMs) {
            KR_RAISE(MessageBuilder() << "the installer started by " << launcher << " did not end");
        }
    }
    return result;
}

void memoryCommand(const tstring_array& args) {
    if (args.size() < 4) {
        KR_RAISE(kUsage);
    }
    const std::string key = tstrings::encodeUtf8(args[1]);
    const unsigned runs = bench::parseCount(args[2]);
    const std::vector<Contender> launchers = namedPrograms(args, 3, {});
    for (unsigned run = 0; run < runs; ++run) {
        for (size_t i = 0; i < launchers.size(); ++i) {
            const Contender& launcher = launchers[(i + run) % launchers.size()];
            const MemoryRun measured = measureMemory(launcher.program);
            const std::string name = key + "." + launcher.name;
            bench::printSample(name + ".peak", static_cast<double>(measured.peak));
            bench::printSample(name + ".waiting", static_cast<double>(measured.waiting));
            bench::printSample(name + ".samples", measured.samples);
        }
    }
}

void packCommand(const tstring_array& args) {
    if (args.size() < 5) {
        KR_RAISE(kUsage);
    }
    const std::string key = tstrings::encodeUtf8(args[1]);
    const tstring& packer = args[2];
    const tstring& package = args[3];
    const unsigned runs = bench::parseCount(args[4]);

    const bench::WorkDir dir(L"kr-bench-pack");
    const tstring setup = dir.file(L"setup.exe");
    const tstring copy = dir.file(L"copy.msi");
    const uint64_t packageSize = bench::fileSize(package);
    // Both sides are one process of this system: the packer, and this program copying with CopyFileW.
    const Contender contenders[2] = {{"pack", packer, {package, setup}},
                                     {"copy", SysInfo::getProcessModulePath(), {L"copy", package, copy}}};
    const auto runOnce = [&](const Contender& contender) {
        const bench::Stopwatch clock;
        bench::runExpecting(0, contender.program, contender.args);
        const double elapsed = clock.elapsedMs();
        const tstring& output = contender.args.back();
        const uint64_t outputSize = bench::fileSize(output);
        if (outputSize < packageSize || (contender.name == "copy" && outputSize != packageSize)) {
            KR_RAISE(MessageBuilder() << output << " holds " << outputSize << " bytes for a package of " << packageSize);
        }
        bench::deleteFileIfExists(output);
        return elapsed;
    };
    for (const Contender& contender : contenders) {
        runOnce(contender);
    }
    for (unsigned run = 0; run < runs; ++run) {
        for (size_t i = 0; i < 2; ++i) {
            const Contender& contender = contenders[(i + run) % 2];
            bench::printSample(key + "." + contender.name, runOnce(contender));
        }
    }
}

void dispatch(const tstring_array& args) {
    const tstring& command = args[0];
    if (command == L"install") {
        installCommand(args);
    } else if (command == L"memory") {
        memoryCommand(args);
    } else if (command == L"pack") {
        packCommand(args);
    } else if (command == L"copy" && args.size() == 3) {
        bench::copyFile(args[1], args[2]);
    } else {
        KR_RAISE(kUsage);
    }
}

} // namespace

int wmain(int argc, wchar_t** argv) { return bench::guardedMain(argc, argv, 1, kUsage, dispatch); }
