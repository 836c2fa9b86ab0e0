// Reading from bytes held in memory, by another owner or by the source itself.
#include "Bytes.h"

#include "PackError.h"

#include <string>

namespace pack {

namespace {

// `count` bytes of `bytes` from `offset`; raises Error unless `bytes` holds them.
ByteView within(ByteView bytes, uint64_t offset, size_t count) {
    if (offset > bytes.size || count > bytes.size - offset) {
        throw Error("Reading " + std::to_string(count) + " bytes at " + std::to_string(offset) +
                    " goes beyond the end of " + std::to_string(bytes.size) + " bytes");
    }
    return ByteView{bytes.data + offset, count};
}

} // namespace

ByteView MemorySource::read(uint64_t offset, size_t count) { return within(bytes_, offset, count); }

ByteView BufferSource::read(uint64_t offset, size_t count) {
    return within(ByteView{bytes_.data(), bytes_.size()}, offset, count);
}

} // namespace pack
