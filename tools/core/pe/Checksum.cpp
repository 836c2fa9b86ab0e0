// Summing an image for its checksum, eight bytes at a time.
#include "Checksum.h"

namespace pack {

void ImageChecksum::add(ByteView bytes) {
    const uint8_t* data = bytes.data;
    const size_t size = bytes.size;
    // A local sum: stored in the object, it would be written back after every word, since the bytes might
    // overlap it.
    uint64_t sum = sum_;
    size_t i = 0;
    if (odd_ && size > 0) {
        sum += pending_ | static_cast<uint32_t>(data[0]) << 8;
        odd_ = false;
        i = 1;
    }
    // Two 32-bit halves summed as they are: folded later, that equals the sum of their 16-bit words modulo
    // 0xFFFF. An image is less than 4 GiB, so the 64-bit sum cannot overflow.
    for (; i + 8 <= size; i += 8) {
        sum += uint64_t{getLe32(data + i)} + getLe32(data + i + 4);
    }
    for (; i + 2 <= size; i += 2) {
        sum += getLe16(data + i);
    }
    if (i < size) {
        pending_ = data[i];
        odd_ = true;
    }
    sum_ = sum;
    length_ += size;
}

uint32_t ImageChecksum::value() const {
    uint64_t sum = sum_ + (odd_ ? pending_ : 0);
    while (sum >> 16) {
        sum = (sum & 0xFFFF) + (sum >> 16);
    }
    return static_cast<uint32_t>(sum + length_);
}

} // namespace pack
