// The file name of an output's temporary file: "kvs", eight hexadecimal digits and ".tmp", the same on every system.
#pragma once

#include <cstdint>
#include <string>

namespace pack {

// The digits mix the process, a fine clock and the attempt, so that packers running at once and the attempts
// of one packer each try their own names.
std::string temporaryFileName(uint64_t processId, uint64_t clock, int attempt);

} // namespace pack
