// Checking an icon's images: where they lie, how groups name them, and the two formats Windows shows.
#include "IconRules.h"

#include "PackError.h"
#include "pe/ImageRules.h"

#include <algorithm>
#include <cstring>
#include <utility>

namespace pack {

namespace {

constexpr uint8_t kPngSignature[] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
constexpr uint32_t kBitmapHeaderSize = 40;
// A PNG chunk: its length and type, its data, then a checksum; the header chunk's data are 13 bytes. Lengths,
// widths and heights are big-endian and below 2^31.
constexpr uint64_t kPngChunkFrame = 12;
constexpr uint32_t kPngHeaderSize = 13;
constexpr uint32_t kPngMaxLength = 0x7FFFFFFF;
constexpr uint64_t kPngWindow = 64 * 1024;

// A PNG file as far as its chunks go (see checkIconImageFormat).
void checkPng(const ResourceData& data) {
    const Region png(*data.source, data.offset, data.size,
                     "a PNG image in it runs past the bytes its directory gives it");
    uint64_t at = sizeof(kPngSignature);
    const ByteView header = png.read(at, 8 + kPngHeaderSize);
    refuseIf(getBe32(header.data) != kPngHeaderSize || std::memcmp(header.data + 4, "IHDR", 4) != 0,
             "a PNG image in it does not begin with its header chunk");
    const uint32_t width = getBe32(header.data + 8);
    const uint32_t height = getBe32(header.data + 12);
    refuseIf(width == 0 || height == 0 || width > kPngMaxLength || height > kPngMaxLength,
             "a PNG image in it has no valid width and height");
    // Chunk headers are read a window at a time, so that many small chunks cost few reads of the source.
    uint64_t windowStart = 0;
    ByteView window;
    for (at += kPngChunkFrame + kPngHeaderSize;;) {
        if (at + 8 > windowStart + window.size) {
            png.require(at, 8);
            windowStart = at;
            window = png.read(at, std::min(kPngWindow, png.size() - at));
        }
        const uint8_t* chunk = window.data + (at - windowStart);
        const uint32_t length = getBe32(chunk);
        const bool end = std::memcmp(chunk + 4, "IEND", 4) == 0;
        if (length > kPngMaxLength) {
            png.refuse();
        }
        png.require(at, kPngChunkFrame + length);
        at += kPngChunkFrame + length;
        if (end) {
            return;
        }
    }
}

} // namespace

void checkIconImageFormat(const ResourceData& data) {
    const Region image(*data.source, data.offset, data.size, "an image in it is neither a PNG nor a bitmap");
    if (image.size() >= sizeof(kPngSignature) &&
        std::memcmp(image.read(0, sizeof(kPngSignature)).data, kPngSignature, sizeof(kPngSignature)) == 0) {
        checkPng(data);
    } else if (image.size() < kBitmapHeaderSize || image.le32(0) != kBitmapHeaderSize) {
        image.refuse();
    }
}

void checkIconFileImages(std::vector<FileRange> images, uint64_t directoryEnd, uint64_t fileSize) {
    for (const FileRange& image : images) {
        refuseIf(image.offset < directoryEnd, "an image in it overlaps its directory");
        checkComplete(fileSize, image.offset + image.size, "its images need");
    }
    checkApart(std::move(images), "two images in it overlap");
}

void checkIconGroupImages(std::vector<uint16_t> imageNumbers) {
    std::sort(imageNumbers.begin(), imageNumbers.end());
    refuseIf(std::adjacent_find(imageNumbers.begin(), imageNumbers.end()) != imageNumbers.end(),
             "its icon group names an image twice");
}

} // namespace pack
