// Bytes: views, little- and big-endian fields, and the sources and sinks the image is read from and written to.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

namespace pack {

struct ByteView {
    const uint8_t* data = nullptr;
    size_t size = 0;
};

inline uint16_t getLe16(const uint8_t* at) { return static_cast<uint16_t>(at[0] | at[1] << 8); }

inline uint32_t getLe32(const uint8_t* at) {
    return static_cast<uint32_t>(at[0]) | static_cast<uint32_t>(at[1]) << 8 | static_cast<uint32_t>(at[2]) << 16 |
           static_cast<uint32_t>(at[3]) << 24;
}

inline uint32_t getBe32(const uint8_t* at) {
    return static_cast<uint32_t>(at[0]) << 24 | static_cast<uint32_t>(at[1]) << 16 | static_cast<uint32_t>(at[2]) << 8 |
           static_cast<uint32_t>(at[3]);
}

inline void putLe16(uint8_t* at, uint16_t value) {
    at[0] = static_cast<uint8_t>(value);
    at[1] = static_cast<uint8_t>(value >> 8);
}

inline void putLe32(uint8_t* at, uint32_t value) {
    putLe16(at, static_cast<uint16_t>(value));
    putLe16(at + 2, static_cast<uint16_t>(value >> 16));
}

// `value` rounded up to a multiple of `alignment`, which is not 0.
inline uint64_t alignUp(uint64_t value, uint64_t alignment) { return (value + alignment - 1) / alignment * alignment; }

// Bytes read by offset: a buffer in memory, a mapped file, or a file read a piece at a time.
class ByteSource {
public:
    virtual ~ByteSource() = default;

    virtual uint64_t size() const = 0;
    // Exactly `count` bytes from `offset`; the view stays valid until the next read. Raises Error when the range
    // lies beyond the end or cannot be read.
    virtual ByteView read(uint64_t offset, size_t count) = 0;
};

// A share of `source` that owns nothing: for a source that its owner keeps alive longer than every holder of the
// share. Whatever owns its source holds a share made with std::make_shared instead.
inline std::shared_ptr<ByteSource> borrowed(ByteSource& source) {
    return std::shared_ptr<ByteSource>(std::shared_ptr<ByteSource>(), &source);
}

// A source over bytes that some other owner keeps in memory.
class MemorySource : public ByteSource {
public:
    explicit MemorySource(ByteView bytes) : bytes_(bytes) {}
    explicit MemorySource(const std::vector<uint8_t>& bytes) : bytes_{bytes.data(), bytes.size()} {}

    uint64_t size() const override { return bytes_.size; }
    ByteView read(uint64_t offset, size_t count) override;

private:
    ByteView bytes_;
};

// A source over bytes in memory that it owns.
class BufferSource : public ByteSource {
public:
    explicit BufferSource(std::vector<uint8_t> bytes) : bytes_(std::move(bytes)) {}

    uint64_t size() const override { return bytes_.size(); }
    ByteView read(uint64_t offset, size_t count) override;

private:
    std::vector<uint8_t> bytes_;
};

// Data is copied a piece at a time; a piece of 1 MiB is still in the processor's cache when it is written after
// being summed, which a larger one is not.
constexpr size_t kCopyPiece = 1u << 20;

// Passes `count` bytes of `source` from `offset` to `use`, one view of at most kCopyPiece bytes at a time.
template <class Use>
void forEachPiece(ByteSource& source, uint64_t offset, uint64_t count, Use&& use) {
    for (uint64_t done = 0; done < count;) {
        const size_t piece = static_cast<size_t>(count - done < kCopyPiece ? count - done : kCopyPiece);
        use(source.read(offset + done, piece));
        done += piece;
    }
}

// Where an image is written: front to back, with single fields patched afterwards.
class ByteSink {
public:
    virtual ~ByteSink() = default;

    virtual void write(ByteView bytes) = 0;
    // Overwrites bytes already written.
    virtual void writeAt(uint64_t offset, ByteView bytes) = 0;
};

} // namespace pack
