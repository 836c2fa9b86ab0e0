// The package's digest while it is copied or passed through, one piece at a time.
#include "PackageDigest.h"

#include "PackError.h"

namespace pack {

std::string copyWithDigest(ByteSource& source, uint64_t offset, uint64_t size, ByteSink* sink) {
    Crc32c crc;
    forEachPiece(source, offset, size, [&](ByteView bytes) {
        crc.update(bytes.data, bytes.size);
        if (sink) {
            sink->write(bytes);
        }
    });
    return crc.text();
}

ByteView DigestingSource::read(uint64_t offset, size_t count) {
    const ByteView bytes = package_->read(offset, count);
    if (offset == summed_) {
        crc_.update(bytes.data, bytes.size);
        summed_ += count;
    }
    return bytes;
}

std::string DigestingSource::digestText() const {
    if (summed_ != package_->size()) {
        throw Error("The package's digest is asked for before the package was read whole");
    }
    return crc_.text();
}

ByteView DigestTextSource::read(uint64_t offset, size_t count) {
    if (text_.empty()) {
        text_ = package_->digestText();
    }
    return MemorySource(ByteView{reinterpret_cast<const uint8_t*>(text_.data()), text_.size()}).read(offset, count);
}

} // namespace pack
