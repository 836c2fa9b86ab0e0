// Reading inside a range of a source, with the range's own refusal.
#include "Region.h"

#include "PackError.h"

#include <utility>

namespace pack {

Region::Region(ByteSource& source, uint64_t start, uint64_t size, std::string damage)
    : source_(source), start_(start), size_(size), damage_(std::move(damage)) {
    const uint64_t sourceSize = source_.size();
    if (start > sourceSize || size > sourceSize - start) {
        refuse();
    }
}

void Region::require(uint64_t offset, uint64_t count) const {
    if (offset > size_ || count > size_ - offset) {
        refuse();
    }
}

void Region::refuse() const { throw FormatError(damage_); }

ByteView Region::read(uint64_t offset, uint64_t count) const {
    require(offset, count);
    return source_.read(start_ + offset, static_cast<size_t>(count));
}

} // namespace pack
