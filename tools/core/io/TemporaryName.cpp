// The file name of an output's temporary file: "kvs", eight hexadecimal digits and ".tmp", the same on every system.
#include "TemporaryName.h"

#include "text/Ascii.h"

namespace pack {

std::string temporaryFileName(uint64_t processId, uint64_t clock, int attempt) {
    uint64_t mixed = processId << 32 ^ clock ^ static_cast<uint64_t>(attempt) * 0x9E3779B97F4A7C15u;
    mixed ^= mixed >> 29;
    return "kvs" + hexDigits(mixed, 8, HexCase::Upper) + ".tmp";
}

} // namespace pack
