// What kestrel-pack says of its own use: the usage lines and the help.
#pragma once

#include <string>

namespace pack {

// The three forms of the command line, one a line.
const char* usageLines();

// The usage lines, then what each option does and the exit codes.
std::string helpText();

} // namespace pack
