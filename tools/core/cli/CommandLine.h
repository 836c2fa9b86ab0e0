// kestrel-pack's arguments: options and operands read, and whether they make sense together.
#pragma once

#include <string>
#include <vector>

namespace pack {

enum class Verb { Pack, Info, Extract };

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

// Reads `args` (without the program's name); what does not make sense is told in `problem`, never raised.
CommandLine parseCommandLine(const std::vector<std::string>& args);

} // namespace pack
