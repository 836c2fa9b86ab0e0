// kestrel-pack's command: reads the arguments, then packs, describes or extracts, reports, and gives the exit code.
#include "Command.h"

#include "CommandLine.h"
#include "Help.h"
#include "JsonReport.h"
#include "PackError.h"
#include "TextReport.h"
#include "Version.h"
#include "io/Platform.h"
#include "setup/Packer.h"
#include "setup/SetupReader.h"

#include <exception>
#include <new>

namespace pack {

namespace {

const char kLauncherName[] = "kestrel-launcher.exe";

// One line on standard error, after the program's name.
void tell(const std::string& message) { platform::writeLine(platform::Stream::Err, "kestrel-pack: " + message); }

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

    void lines(const std::vector<std::string>& texts) {
        for (const std::string& text : texts) {
            line(text);
        }
    }

    // Empty while every line was written.
    const std::string& failure() const { return failure_; }

private:
    std::string failure_;
};

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
    throw Error("No launcher found: looked for " + quoted(candidates[0]) + " and " + quoted(candidates[1]) +
                "; name one with --launcher");
}

int packAndReport(const CommandLine& commandLine, const std::string& programPath, Report& report) {
    PackRequest request;
    request.packagePath = commandLine.operands[0];
    request.outputPath = commandLine.operands[1];
    request.launcherPath = commandLine.launcher.empty() ? findLauncher(programPath) : commandLine.launcher;
    request.icon = commandLine.noIcon ? IconChoice::None
                                      : commandLine.icon.empty() ? IconChoice::FromPackage : IconChoice::FromFile;
    request.iconPath = commandLine.icon;
    const PackSummary summary = pack(request);
    report.lines(packReport(summary));
    if (!summary.iconWarning.empty()) {
        tell("warning: " + summary.iconWarning);
    }
    return kExitSuccess;
}

int describeSetup(const CommandLine& commandLine, Report& report) {
    SetupFacts facts;
    try {
        facts = inspectSetup(commandLine.operands[0]);
    } catch (const std::exception& error) {
        // A script reading the JSON gets an object on every outcome; the message still goes to standard error.
        if (commandLine.json) {
            report.line(errorJson(platform::absolutePath(commandLine.operands[0]), error.what()));
        }
        throw;
    }
    if (commandLine.json) {
        report.line(infoJson(facts));
    } else {
        report.lines(infoReport(facts));
    }
    if (!facts.packageIsWhole()) {
        tell(damageMessage(facts));
        return kExitFailure;
    }
    return kExitSuccess;
}

int extractAndReport(const CommandLine& commandLine, Report& report) {
    const SetupFacts facts = extractPackage(commandLine.operands[0], commandLine.operands[1], commandLine.force);
    const std::string output = platform::absolutePath(commandLine.operands[1]);
    if (!facts.packageIsWhole()) {
        tell(damageMessage(facts) + "; extracted all the same (--force)");
    }
    report.line(extractReport(facts, output));
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
        tell(commandLine.problem);
        platform::writeLine(platform::Stream::Err, usageLines());
        platform::writeLine(platform::Stream::Err, "Try 'kestrel-pack --help' for more.");
        return kExitUsage;
    }
    if (commandLine.help) {
        report.line(helpText());
        return kExitSuccess;
    }
    if (commandLine.version) {
        report.line(std::string("kestrel-pack ") + packerVersion());
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
    tell(failure);
    return kExitFailure;
}

} // namespace

int runCommand(const std::vector<std::string>& args, const std::string& programPath) {
    Report report;
    const int exitCode = runParsed(parseCommandLine(args), programPath, report);
    if (!report.failure().empty()) {
        tell("write error: " + report.failure());
        return kExitFailure;
    }
    return exitCode;
}

} // namespace pack
