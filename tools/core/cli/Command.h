// kestrel-pack's command line: usage, options, the default launcher, the report and the exit code.
#pragma once

#include <string>
#include <vector>

namespace pack {

constexpr int kExitSuccess = 0;
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

// Runs kestrel-pack with `args` (UTF-8, without the program's name) and returns its exit code. `programPath` is
// the absolute path of the running program, where the default launcher is looked for; empty when unknown.
int runCommand(const std::vector<std::string>& args, const std::string& programPath);

} // namespace pack
