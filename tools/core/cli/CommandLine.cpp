// Reading kestrel-pack's arguments: "--name value" and "--name=value", "--" before operands, then the rules
// that tie options to verbs and count the operands.
#include "CommandLine.h"

#include "PackError.h"

#include <algorithm>

namespace pack {

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
            parsed.problem = "unknown option " + quoted(arg);
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

} // namespace pack
