// Reading inside a range of a source, with the range's own refusal; ranges of a file checked apart.
#include "Region.h"

#include "PackError.h"

#include <algorithm>
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

std::vector<uint8_t> Region::copy(uint64_t offset, uint64_t count) const {
    const ByteView view = read(offset, count);
    return std::vector<uint8_t>(view.data, view.data + view.size);
}

ByteView Region::read(uint64_t offset, uint64_t count) const {
    require(offset, count);
    return source_.read(start_ + offset, static_cast<size_t>(count));
}

void checkApart(std::vector<FileRange> ranges, const char* rule) {
    ranges.erase(std::remove_if(ranges.begin(), ranges.end(), [](const FileRange& range) { return range.size == 0; }),
                 ranges.end());
    std::sort(ranges.begin(), ranges.end(),
              [](const FileRange& a, const FileRange& b) { return a.offset < b.offset; });
    for (size_t i = 1; i < ranges.size(); ++i) {
        refuseIf(ranges[i].offset < ranges[i - 1].offset + ranges[i - 1].size, rule);
    }
}

} // namespace pack
