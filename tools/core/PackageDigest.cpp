// The package's digest while it is copied or passed through, one piece at a time.
#include "PackageDigest.h"

#include "PackError.h"

#include <algorithm>

namespace pack {

namespace {

// As the image writer's pieces: still in the processor's cache when written after being summed.
constexpr size_t kPiece = 1u << 20;

} // namespace

std::string copyWithDigest(ByteSource& source, uint64_t offset, uint64_t size, ByteSink* sink) {
    Crc32c crc;
    for (uint64_t done = 0; done < size;) {
        const size_t piece = static_cast<size_t>(std::min<uint64_t>(size - done, kPiece));
        const ByteView bytes = source.read(offset + done, piece);
        crc.update(bytes.data, bytes.size);
        if (sink) {
            sink->write(bytes);
        }
        done += piece;
    }
    return crc.text();
}

ByteView DigestingSource::read(uint64_t offset, size_t count) {
    const ByteView bytes = package_.read(offset, count);
    if (offset == summed_) {
        crc_.update(bytes.data, bytes.size);
        summed_ += count;
    }
    return bytes;
}

std::string DigestingSource::digestText() const {
    if (summed_ != package_.size()) {
        throw Error("The package's digest is asked for before the package was read whole");
    }
    return crc_.text();
}

ByteView DigestTextSource::read(uint64_t offset, size_t count) {
    if (text_.empty()) {
        text_ = package_.digestText();
    }
    return MemorySource(ByteView{reinterpret_cast<const uint8_t*>(text_.data()), text_.size()}).read(offset, count);
}

} // namespace pack
