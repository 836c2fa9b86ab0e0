// The image checksum of the optional header, kept while the file is written front to back.
#pragma once

#include "bytes/Bytes.h"

#include <cstdint>

namespace pack {

// The one's complement sum of the file's little-endian 16-bit words, folded to 16 bits, plus the file length.
// The checksum field itself must be added as zeros.
class ImageChecksum {
public:
    // Adds the next bytes of the file; pieces may have any length.
    void add(ByteView bytes);
    uint32_t value() const;

private:
    uint64_t sum_ = 0;
    uint64_t length_ = 0;
    uint32_t pending_ = 0; // the first byte of a word split between two pieces
    bool odd_ = false;
};

} // namespace pack
