// The digest a setup carries of its package: CRC-32C text, computed from the very pieces that are written.
#pragma once

#include "Crc32c.h"
#include "bytes/Bytes.h"

#include <cstdint>
#include <memory>
#include <string>
#include <utility>

namespace pack {

// "crc32c:" and eight hexadecimal digits, as the launcher compares it.
constexpr size_t kDigestTextSize = 15;

// Copies `size` bytes of `source` from `offset` to `sink` (when not null) a piece at a time and returns the
// digest text of the bytes copied, each piece summed from the view that is written.
std::string copyWithDigest(ByteSource& source, uint64_t offset, uint64_t size, ByteSink* sink);

// A source that passes a package, which it holds a share of, through and sums what is read of it front to back:
// the image writer reads the package once, and the digest comes from those reads.
class DigestingSource : public ByteSource {
public:
    explicit DigestingSource(std::shared_ptr<ByteSource> package) : package_(std::move(package)) {}

    uint64_t size() const override { return package_->size(); }
    ByteView read(uint64_t offset, size_t count) override;
    // Raises Error unless the whole package has been read in order.
    std::string digestText() const;

private:
    std::shared_ptr<ByteSource> package_;
    Crc32c crc_;
    uint64_t summed_ = 0; // the bytes from the start that went into crc_
};

// The digest resource's bytes: the text of a DigestingSource, which it holds a share of, read after the package
// went through it.
class DigestTextSource : public ByteSource {
public:
    explicit DigestTextSource(std::shared_ptr<const DigestingSource> package) : package_(std::move(package)) {}

    uint64_t size() const override { return kDigestTextSize; }
    ByteView read(uint64_t offset, size_t count) override;

private:
    std::shared_ptr<const DigestingSource> package_;
    std::string text_;
};

} // namespace pack
