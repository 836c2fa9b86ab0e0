// kestrel-pack's command line: parses the arguments, finds the launcher, packs and reports in one or two lines.
#include "Command.h"

#include "PackError.h"
#include "Packer.h"
#include "Platform.h"

#include <exception>
#include <new>

namespace pack {

namespace {

const char kUsageLine[] = "Usage: kestrel-pack [--launcher <kestrel-launcher.exe>] <product.msi> <setup.exe>";

const char kHelpText[] =
    "\n\n"
    "Packs a Windows Installer package into a copy of the Kestrel launcher. The resulting setup.exe\n"
    "installs the product when run (its arguments go to msiexec, so /qn installs silently) and\n"
    "removes it when run with the argument \"uninstall\". Its version block describes the product.\n"
    "\n"
    "  --launcher <file>  the launcher to pack into; by default kestrel-launcher.exe beside kestrel-pack,\n"
    "                     else ../share/kestrel/kestrel-launcher.exe from its directory\n"
    "  -h, --help         show this help and exit\n"
    "  --version          show the packer's version and exit\n"
    "\n"
    "Exit codes: 0 packed, 1 packing failed (the output is left as it was), 2 wrong usage.";

const char kLauncherName[] = "kestrel-launcher.exe";

struct CommandLine {
    bool help = false;
    bool version = false;
    std::string launcher;
    std::vector<std::string> operands;
    std::string problem; // empty when the arguments make sense
};

CommandLine parseCommandLine(const std::vector<std::string>& args) {
    CommandLine parsed;
    const std::string launcherPrefix = "--launcher=";
    bool optionsEnded = false;
    for (size_t i = 0; i < args.size() && parsed.problem.empty(); ++i) {
        const std::string& arg = args[i];
        if (optionsEnded || arg.empty() || arg[0] != '-' || arg == "-") {
            parsed.operands.push_back(arg);
        } else if (arg == "--") {
            optionsEnded = true;
        } else if (arg == "-h" || arg == "--help") {
            parsed.help = true;
        } else if (arg == "--version") {
            parsed.version = true;
        } else if (arg == "--launcher" || arg.compare(0, launcherPrefix.size(), launcherPrefix) == 0) {
            std::string value;
            if (arg != "--launcher") {
                value = arg.substr(launcherPrefix.size());
            } else if (i + 1 < args.size()) {
                value = args[++i];
            }
            if (!parsed.launcher.empty()) {
                parsed.problem = "--launcher is given more than once";
            } else if (value.empty()) {
                parsed.problem = "--launcher needs the path of a launcher";
            }
            parsed.launcher = value;
        } else {
            parsed.problem = "unknown option '" + arg + "'";
        }
    }
    if (parsed.problem.empty() && !parsed.help && !parsed.version) {
        if (parsed.operands.size() != 2) {
            parsed.problem = "expected a package and an output file, got " + std::to_string(parsed.operands.size()) +
                             (parsed.operands.size() == 1 ? " argument" : " arguments");
        } else if (parsed.operands[0].empty() || parsed.operands[1].empty()) {
            parsed.problem = "a file name is empty";
        }
    }
    return parsed;
}

// Beside the program, else in the share directory of the tree it is installed in.
std::string findLauncher(const std::string& programPath) {
    if (programPath.empty()) {
        throw Error("No launcher given, and the packer cannot tell where it is itself; name one with --launcher");
    }
    const std::string bin = platform::parentOf(programPath);
    const std::string candidates[] = {
        platform::joinPath(bin, kLauncherName),
        platform::joinPath(platform::joinPath(platform::joinPath(platform::parentOf(bin), "share"), "kestrel"),
                           kLauncherName),
    };
    for (const std::string& candidate : candidates) {
        if (platform::kindOf(candidate) == platform::FileKind::File) {
            return candidate;
        }
    }
    throw Error("No launcher found: looked for '" + candidates[0] + "' and '" + candidates[1] +
                "'; name one with --launcher");
}

std::string formatSize(uint64_t bytes) {
    std::string digits = std::to_string(bytes);
    for (size_t end = digits.size(); end > 3; end -= 3) {
        digits.insert(end - 3, 1, ',');
    }
    return digits + " bytes";
}

void report(const PackSummary& summary) {
    std::string product =
        "Packed " + (summary.productName.empty() ? std::string("a product without name") : summary.productName);
    if (!summary.productVersion.empty()) {
        product += " " + summary.productVersion;
    }
    if (!summary.manufacturer.empty()) {
        product += " by " + summary.manufacturer;
    }
    platform::writeLine(platform::Stream::Out, product + ", product code " + summary.productCode);
    platform::writeLine(platform::Stream::Out,
                        "Wrote " + summary.outputPath + " with a package of " + formatSize(summary.packageSize));
}

int packAndReport(const CommandLine& commandLine, const std::string& programPath) {
    PackRequest request;
    request.packagePath = commandLine.operands[0];
    request.outputPath = commandLine.operands[1];
    request.launcherPath = commandLine.launcher.empty() ? findLauncher(programPath) : commandLine.launcher;
    report(pack(request));
    return kExitSuccess;
}

} // namespace

int runCommand(const std::vector<std::string>& args, const std::string& programPath) {
    const CommandLine commandLine = parseCommandLine(args);
    if (!commandLine.problem.empty()) {
        platform::writeLine(platform::Stream::Err, "kestrel-pack: " + commandLine.problem);
        platform::writeLine(platform::Stream::Err, kUsageLine);
        platform::writeLine(platform::Stream::Err, "Try 'kestrel-pack --help' for more.");
        return kExitUsage;
    }
    if (commandLine.help) {
        platform::writeLine(platform::Stream::Out, std::string(kUsageLine) + kHelpText);
        return kExitSuccess;
    }
    if (commandLine.version) {
        platform::writeLine(platform::Stream::Out, "kestrel-pack " KR_VERSION_TEXT);
        return kExitSuccess;
    }
    std::string failure;
    try {
        return packAndReport(commandLine, programPath);
    } catch (const std::bad_alloc&) {
        failure = "Not enough memory";
    } catch (const std::exception& error) {
        failure = error.what();
    }
    platform::writeLine(platform::Stream::Err, "kestrel-pack: " + failure);
    return kExitFailure;
}

} // namespace pack
