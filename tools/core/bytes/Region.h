// Bounds-checked reading: the one way the readers reach the bytes of a file; ranges of a file kept apart.
#pragma once

#include "Bytes.h"

#include <cstdint>
#include <string>
#include <vector>

namespace pack {

// A range of a source that no read leaves: every offset and length is checked against it without overflow.
class Region {
public:
    // The `size` bytes of `source` from `start`; raises FormatError(`damage`) unless the source holds them.
    Region(ByteSource& source, uint64_t start, uint64_t size, std::string damage);

    uint64_t size() const { return size_; }

    // `count` bytes from `offset` within the region, valid until the next read of the source. Raises
    // FormatError(damage) unless they lie inside the region.
    ByteView read(uint64_t offset, uint64_t count) const;
    // The same bytes, copied: they stay valid whatever is read next.
    std::vector<uint8_t> copy(uint64_t offset, uint64_t count) const;
    uint16_t le16(uint64_t offset) const { return getLe16(read(offset, 2).data); }
    uint32_t le32(uint64_t offset) const { return getLe32(read(offset, 4).data); }

    // Raises FormatError(damage) unless `count` bytes from `offset` lie inside the region.
    void require(uint64_t offset, uint64_t count) const;
    [[noreturn]] void refuse() const;

private:
    ByteSource& source_;
    uint64_t start_;
    uint64_t size_;
    std::string damage_;
};

// A range of a file that a rewritten image or a setup's icon copies.
struct FileRange {
    uint64_t offset = 0;
    uint64_t size = 0;
};

// Raises FormatError(rule) when two of the non-empty `ranges` overlap: each byte is copied once, so what is
// written grows only by what is added to it. An empty range copies nothing.
void checkApart(std::vector<FileRange> ranges, const char* rule);

} // namespace pack
