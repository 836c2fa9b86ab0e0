// Reading from bytes held in memory.
#include "Bytes.h"

#include "PackError.h"

#include <string>

namespace pack {

ByteView MemorySource::read(uint64_t offset, size_t count) {
    if (offset > bytes_.size || count > bytes_.size - offset) {
        throw Error("Reading " + std::to_string(count) + " bytes at " + std::to_string(offset) +
                    " goes beyond the end of " + std::to_string(bytes_.size) + " bytes");
    }
    return ByteView{bytes_.data + offset, count};
}

} // namespace pack
