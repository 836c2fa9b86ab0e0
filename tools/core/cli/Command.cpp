// kestrel-pack's command line: parses the arguments, then packs, describes or extracts, and reports.
#include "Command.h"

#include "PackError.h"
#include "io/Platform.h"
#include "resources/Icon.h"
#include "setup/Packer.h"
#include "setup/SetupReader.h"
#include "text/Text.h"
#include "text/Utf.h"

#include <algorithm>
#include <cstdio>
#include <exception>
#include <initializer_list>
#include <new>

namespace pack {

namespace {

const char kUsageLines[] = "Usage: kestrel-pack [--launcher <kestrel-launcher.exe>] [--icon <file.ico> | --no-icon] "
                           "<product.msi> <setup.exe>\n"
                           "       kestrel-pack --info <setup.exe> [--json]\n"
                           "       kestrel-pack --extract <setup.exe> <product.msi> [--force]";

const char kHelpText[] =
    "\n\n"
    "Packs a Windows Installer package into a copy of the Kestrel launcher. The resulting setup.exe\n"
    "installs the product when run (its arguments go to msiexec, so /qn installs silently) and\n"
    "removes it when run with the argument \"uninstall\". Its version block describes the product, and\n"
    "it carries a CRC-32C digest of the package that the launcher checks before it installs.\n"
    "\n"
    "  --launcher <file>  the launcher to pack into; by default kestrel-launcher.exe beside kestrel-pack,\n"
    "                     else ../share/kestrel/kestrel-launcher.exe from its directory\n"
    "  --icon <file>      give the setup this icon: an .ico file, or an executable's first icon; by default\n"
    "                     the setup gets the icon that ARPPRODUCTICON names in the package's Icon table\n"
    "  --no-icon          give the setup no icon\n"
    "  --info             describe a setup: its product, package size, digest and whether the package\n"
    "                     matches it, whether the file carries an Authenticode signature (not verified),\n"
    "                     the sizes of its icon, and the Kestrel version that packed it\n"
    "  --json             with --info: the same facts as one JSON object; when the file is no readable\n"
    "                     setup, an object of \"setup\" and \"error\"\n"
    "  --extract          write the package a setup carries, byte for byte; the output is replaced only\n"
    "                     by a complete package\n"
    "  --force            with --extract: extract a package that does not match its digest\n"
    "  -h, --help         show this help and exit\n"
    "  --version          show the packer's version and exit\n"
    "\n"
    "A setup is signed after packing (signtool or osslsigncode); a signed launcher is not packed.\n"
    "\n"
    "Exit codes: 0 done; 1 failed (the output is left as it was), or with --info and --extract the setup's\n"
    "package is damaged or the file is no Kestrel setup, or the report could not be written to standard\n"
    "output; 2 wrong usage.";

const char kLauncherName[] = "kestrel-launcher.exe";

enum class Verb { Pack, Info, Extract };

// Standard output, kept as GNU tools keep it: a line that cannot be written makes the command fail, and the first
// reason is told on standard error once the command is done.
class Report {
public:
    void line(const std::string& text) {
        const std::string reason = platform::writeLine(platform::Stream::Out, text);
        if (failure_.empty()) {
            failure_ = reason;
        }
    }

    // Empty while every line was written.
    const std::string& failure() const { return failure_; }

private:
    std::string failure_;
};

struct CommandLine {
    bool help = false;
    bool version = false;
    Verb verb = Verb::Pack;
    bool json = false;
    bool force = false;
    bool noIcon = false;
    std::string launcher;
    std::string icon;
    std::vector<std::string> operands;
    std::string problem; // empty when the arguments make sense
};

CommandLine parseCommandLine(const std::vector<std::string>& args) {
    CommandLine parsed;
    bool optionsEnded = false;
    // An option with a value, as "--name <value>" or "--name=<value>": false when `args[i]` is not that option.
    const auto valueOption = [&](size_t& i, const std::string& name, std::string& value, const char* what) {
        const std::string& arg = args[i];
        if (arg != name && arg.compare(0, name.size() + 1, name + "=") != 0) {
            return false;
        }
        std::string given;
        if (arg != name) {
            given = arg.substr(name.size() + 1);
        } else if (i + 1 < args.size()) {
            given = args[++i];
        }
        if (!value.empty()) {
            parsed.problem = name + " is given more than once";
        } else if (given.empty()) {
            parsed.problem = name + " needs the path of " + what;
        }
        value = given;
        return true;
    };
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
        } else if (arg == "--info" || arg == "--extract") {
            const Verb verb = arg == "--info" ? Verb::Info : Verb::Extract;
            if (parsed.verb != Verb::Pack && parsed.verb != verb) {
                parsed.problem = "--info and --extract exclude each other";
            }
            parsed.verb = verb;
        } else if (arg == "--json") {
            parsed.json = true;
        } else if (arg == "--force") {
            parsed.force = true;
        } else if (arg == "--no-icon") {
            parsed.noIcon = true;
        } else if (valueOption(i, "--launcher", parsed.launcher, "a launcher") ||
                   valueOption(i, "--icon", parsed.icon, "an icon")) {
        } else {
            parsed.problem = "unknown option '" + arg + "'";
        }
    }
    if (parsed.problem.empty() && !parsed.help && !parsed.version) {
        const size_t count = parsed.operands.size();
        const std::string got = ", got " + std::to_string(count) + (count == 1 ? " argument" : " arguments");
        if (parsed.json && parsed.verb != Verb::Info) {
            parsed.problem = "--json goes with --info";
        } else if (parsed.force && parsed.verb != Verb::Extract) {
            parsed.problem = "--force goes with --extract";
        } else if (!parsed.launcher.empty() && parsed.verb != Verb::Pack) {
            parsed.problem = "--launcher goes with packing, not with --info or --extract";
        } else if ((!parsed.icon.empty() || parsed.noIcon) && parsed.verb != Verb::Pack) {
            parsed.problem = "--icon and --no-icon go with packing, not with --info or --extract";
        } else if (!parsed.icon.empty() && parsed.noIcon) {
            parsed.problem = "--icon and --no-icon exclude each other";
        } else if (parsed.verb == Verb::Info && count != 1) {
            parsed.problem = "expected a setup" + got;
        } else if (parsed.verb == Verb::Extract && count != 2) {
            parsed.problem = "expected a setup and an output file" + got;
        } else if (parsed.verb == Verb::Pack && count != 2) {
            parsed.problem = "expected a package and an output file" + got;
        } else if (std::find(parsed.operands.begin(), parsed.operands.end(), std::string()) != parsed.operands.end()) {
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

void reportPack(const PackSummary& summary, Report& report) {
    std::string product = "Packed " + (summary.productName.empty() ? std::string("a product without name")
                                                                   : printable(summary.productName));
    if (!summary.productVersion.empty()) {
        product += " " + printable(summary.productVersion);
    }
    if (!summary.manufacturer.empty()) {
        product += " by " + printable(summary.manufacturer);
    }
    report.line(product + ", product code " + summary.productCode);
    report.line("Wrote " + summary.outputPath + " with a package of " + formatSize(summary.packageSize));
    report.line("Icon: " + summary.icon);
    if (!summary.iconWarning.empty()) {
        platform::writeLine(platform::Stream::Err, "kestrel-pack: warning: " + summary.iconWarning);
    }
}

int packAndReport(const CommandLine& commandLine, const std::string& programPath, Report& report) {
    PackRequest request;
    request.packagePath = commandLine.operands[0];
    request.outputPath = commandLine.operands[1];
    request.launcherPath = commandLine.launcher.empty() ? findLauncher(programPath) : commandLine.launcher;
    request.icon = commandLine.noIcon ? IconChoice::None
                                      : commandLine.icon.empty() ? IconChoice::FromPackage : IconChoice::FromFile;
    request.iconPath = commandLine.icon;
    reportPack(pack(request), report);
    return kExitSuccess;
}

// Valid JSON whatever the text: what is not UTF-8 becomes U+FFFD, and what a terminal would act on is escaped.
std::string jsonString(const std::string& text) {
    std::u16string result = u"\"";
    for (const char16_t c : toUtf16(text)) {
        if (c == u'"' || c == u'\\') {
            result += u'\\';
            result += c;
        } else if (isUnsafeCharacter(c)) {
            char escaped[8];
            std::snprintf(escaped, sizeof(escaped), "\\u%04x", static_cast<unsigned>(c));
            result.append(escaped, escaped + 6);
        } else {
            result += c;
        }
    }
    return toUtf8(result + u"\"");
}

std::string jsonField(const char* name, const std::string& value) { return std::string("\"") + name + "\":" + value; }

std::string jsonObject(std::initializer_list<std::string> fields) {
    std::string object;
    for (const std::string& text : fields) {
        object += (object.empty() ? "{" : ",") + text;
    }
    return object + "}";
}

std::string iconJson(const std::vector<IconSize>& sizes) {
    if (sizes.empty()) {
        return "null";
    }
    std::string list;
    for (const IconSize& size : sizes) {
        list += (list.empty() ? "[" : ",") + jsonObject({jsonField("width", std::to_string(size.width)),
                                                          jsonField("height", std::to_string(size.height))});
    }
    return list + "]";
}

std::string infoJson(const SetupFacts& facts) {
    const auto field = jsonField;
    // A damaged icon adds "iconDamage", what is wrong with it; a whole icon, or none, adds nothing.
    const std::string iconDamage =
        facts.iconDamage.empty() ? std::string() : "," + field("iconDamage", jsonString(facts.iconDamage));
    return jsonObject({
        field("setup", jsonString(facts.setupPath)),
        field("productName", jsonString(facts.productName)),
        field("productVersion", jsonString(facts.productVersion)),
        field("manufacturer", jsonString(facts.manufacturer)),
        field("productCode", jsonString(facts.productCode)),
        field("packageSize", std::to_string(facts.packageSize)),
        field("digest", facts.storedDigest ? jsonString(*facts.storedDigest) : "null"),
        field("packageDigest", jsonString(facts.packageDigest)),
        field("digestMatches",
              facts.storedDigest || facts.digestMalformed ? (facts.packageIsWhole() ? "true" : "false") : "null"),
        field("signed", facts.signature ? "true" : "false"),
        field("icon", iconJson(facts.iconSizes)) + iconDamage,
        field("packerVersion", facts.packerVersion.empty() ? "null" : jsonString(facts.packerVersion)),
    });
}

void reportInfo(const SetupFacts& facts, Report& report) {
    const auto line = [&report](const char* label, const std::string& value) {
        report.line(std::string(label) + value);
    };
    const auto orNone = [](const std::string& value) { return value.empty() ? std::string("(none)") : value; };
    std::string digest = facts.digestMalformed ? "malformed, so the package cannot be checked" : "no digest";
    if (facts.storedDigest) {
        digest = *facts.storedDigest + (facts.packageIsWhole()
                                            ? ", the package matches it"
                                            : ", the package does NOT match it (" + facts.packageDigest + ")");
    }
    line("Setup:        ", facts.setupPath);
    line("Product:      ", orNone(printable(facts.productName)));
    line("Version:      ", orNone(printable(facts.productVersion)));
    line("Manufacturer: ", orNone(printable(facts.manufacturer)));
    line("Product code: ", orNone(printable(facts.productCode)));
    line("Package:      ", formatSize(facts.packageSize));
    line("Digest:       ", digest);
    line("Signature:    ", facts.signature ? "present (Authenticode, not verified)" : "absent");
    line("Icon:         ", !facts.iconDamage.empty() ? "damaged: " + facts.iconDamage
                           : facts.iconSizes.empty() ? std::string("none")
                                                     : describeIconSizes(facts.iconSizes));
    line("Packed by:    ",
         facts.packerVersion.empty() ? std::string("(not recorded)") : "Kestrel " + printable(facts.packerVersion));
}

int describeSetup(const CommandLine& commandLine, Report& report) {
    SetupFacts facts;
    try {
        facts = inspectSetup(commandLine.operands[0]);
    } catch (const std::exception& error) {
        // A script reading the JSON gets an object on every outcome; the message still goes to standard error.
        if (commandLine.json) {
            const std::string setup = platform::absolutePath(commandLine.operands[0]);
            report.line(
                jsonObject({jsonField("setup", jsonString(setup)), jsonField("error", jsonString(error.what()))}));
        }
        throw;
    }
    if (commandLine.json) {
        report.line(infoJson(facts));
    } else {
        reportInfo(facts, report);
    }
    if (!facts.packageIsWhole()) {
        platform::writeLine(platform::Stream::Err, "kestrel-pack: " + damageMessage(facts));
        return kExitFailure;
    }
    return kExitSuccess;
}

int extractAndReport(const CommandLine& commandLine, Report& report) {
    const SetupFacts facts = extractPackage(commandLine.operands[0], commandLine.operands[1], commandLine.force);
    const std::string output = platform::absolutePath(commandLine.operands[1]);
    if (!facts.packageIsWhole()) {
        platform::writeLine(platform::Stream::Err,
                            "kestrel-pack: " + damageMessage(facts) + "; extracted all the same (--force)");
    }
    report.line("Extracted a package of " + formatSize(facts.packageSize) + " to " + output);
    return kExitSuccess;
}

int runVerb(const CommandLine& commandLine, const std::string& programPath, Report& report) {
    switch (commandLine.verb) {
    case Verb::Info:
        return describeSetup(commandLine, report);
    case Verb::Extract:
        return extractAndReport(commandLine, report);
    case Verb::Pack:
        break;
    }
    return packAndReport(commandLine, programPath, report);
}

int runParsed(const CommandLine& commandLine, const std::string& programPath, Report& report) {
    if (!commandLine.problem.empty()) {
        platform::writeLine(platform::Stream::Err, "kestrel-pack: " + commandLine.problem);
        platform::writeLine(platform::Stream::Err, kUsageLines);
        platform::writeLine(platform::Stream::Err, "Try 'kestrel-pack --help' for more.");
        return kExitUsage;
    }
    if (commandLine.help) {
        report.line(std::string(kUsageLines) + kHelpText);
        return kExitSuccess;
    }
    if (commandLine.version) {
        report.line("kestrel-pack " KR_VERSION_TEXT);
        return kExitSuccess;
    }
    std::string failure;
    try {
        return runVerb(commandLine, programPath, report);
    } catch (const std::bad_alloc&) {
        failure = "Not enough memory";
    } catch (const std::exception& error) {
        failure = error.what();
    }
    platform::writeLine(platform::Stream::Err, "kestrel-pack: " + failure);
    return kExitFailure;
}

} // namespace

int runCommand(const std::vector<std::string>& args, const std::string& programPath) {
    Report report;
    const int exitCode = runParsed(parseCommandLine(args), programPath, report);
    if (!report.failure().empty()) {
        platform::writeLine(platform::Stream::Err, "kestrel-pack: write error: " + report.failure());
        return kExitFailure;
    }
    return exitCode;
}

} // namespace pack
