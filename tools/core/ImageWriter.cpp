// Writing an image: headers and sections before the resources, the new resource section, the moved tail.
#include "ImageWriter.h"

#include "Checksum.h"
#include "PackError.h"
#include "ResourceLayout.h"

#include <algorithm>
#include <cstdint>
#include <vector>

namespace pack {

namespace {

constexpr uint64_t kMaxImageEnd = 0x7FFFFFFF;
constexpr uint64_t kMaxFileSize = 0xFFFFFFFF;

// Passes everything written to the sink and sums it for the checksum.
class ChecksummedWriter {
public:
    explicit ChecksummedWriter(ByteSink& sink) : sink_(sink) {}

    void write(ByteView bytes) {
        checksum_.add(bytes);
        sink_.write(bytes);
        length_ += bytes.size;
    }

    void copy(ByteSource& source, uint64_t offset, uint64_t count) {
        forEachPiece(source, offset, count, [this](ByteView bytes) { write(bytes); });
    }

    void padTo(uint64_t length) {
        static const uint8_t zeros[4096] = {};
        while (length_ < length) {
            write(ByteView{zeros, static_cast<size_t>(std::min<uint64_t>(length - length_, sizeof(zeros)))});
        }
    }

    uint32_t checksum() const { return checksum_.value(); }

private:
    ByteSink& sink_;
    ImageChecksum checksum_;
    uint64_t length_ = 0;
};

uint32_t shifted(uint32_t value, int64_t shift) { return static_cast<uint32_t>(static_cast<int64_t>(value) + shift); }

} // namespace

void writeImage(const PeImage& image, const ResourceTree& resources, ByteSink& sink) {
    const size_t index = image.rewritableResourceSection();
    const std::vector<SectionHeader>& sections = image.sections();
    const SectionHeader& section = sections[index];
    const ResourceSectionLayout layout = layoutResourceSection(resources, section.virtualAddress);

    // The new section, and where the sections after it move to. The image's rules keep the raw data of the later
    // sections after the resources', so the tail starts at the first of them, else where the resources end.
    const uint64_t rawSize = alignUp(layout.size, image.fileAlignment());
    const uint64_t virtualEnd = section.virtualAddress + alignUp(layout.size, image.sectionAlignment());
    ByteSource& source = image.source();
    uint64_t tailStart = source.size();
    for (size_t i = index + 1; i < sections.size(); ++i) {
        if (sections[i].rawSize != 0) {
            tailStart = std::min<uint64_t>(tailStart, sections[i].rawPointer);
        }
    }
    if (tailStart == source.size()) {
        tailStart = uint64_t{section.rawPointer} + section.rawSize;
    }
    if (section.rawPointer + rawSize + (source.size() - tailStart) > kMaxFileSize || virtualEnd > kMaxImageEnd) {
        throw FormatError("it would be too large for a Windows executable (" + std::to_string(layout.size) +
                          " bytes of resources)");
    }
    const bool hasFollower = index + 1 < sections.size();
    const int64_t rawShift = static_cast<int64_t>(section.rawPointer + rawSize) - static_cast<int64_t>(tailStart);
    const int64_t virtualShift =
        hasFollower ? static_cast<int64_t>(virtualEnd) - static_cast<int64_t>(sections[index + 1].virtualAddress) : 0;

    std::vector<uint8_t> front = [&] {
        const ByteView view = source.read(0, section.rawPointer);
        return std::vector<uint8_t>(view.data, view.data + view.size);
    }();
    const uint32_t optional = image.offsets().optionalHeader;
    const auto sectionField = [&](size_t i, uint32_t field) {
        return front.data() + image.offsets().sectionTable + i * pe::kSectionHeaderSize + field;
    };
    const std::vector<DataDirectory>& directories = image.directories();
    uint64_t imageEnd = virtualEnd;
    for (size_t i = index + 1; i < sections.size(); ++i) {
        const SectionHeader& moved = sections[i];
        const uint64_t oldEnd = uint64_t{moved.virtualAddress} + std::max(moved.virtualSize, moved.rawSize);
        for (uint32_t d = 0; d < directories.size(); ++d) {
            const uint32_t rva = directories[d].rva;
            if (d != pe::kDirectorySecurity && rva >= moved.virtualAddress && rva < oldEnd) {
                putLe32(front.data() + optional + pe::kDataDirectories + d * 8, shifted(rva, virtualShift));
            }
        }
        const int64_t newAddress = moved.virtualAddress + virtualShift;
        putLe32(sectionField(i, 12), static_cast<uint32_t>(newAddress));
        if (moved.rawSize != 0) {
            putLe32(sectionField(i, 20), shifted(moved.rawPointer, rawShift));
        }
        imageEnd = std::max<uint64_t>(
            imageEnd, static_cast<uint64_t>(newAddress) +
                          alignUp(std::max(moved.virtualSize, moved.rawSize), image.sectionAlignment()));
    }
    if (imageEnd > kMaxImageEnd) {
        throw FormatError("it would be too large for a Windows executable");
    }
    putLe32(front.data() + optional + pe::kSizeOfInitializedData,
            static_cast<uint32_t>(image.sizeOfInitializedData() - section.rawSize + rawSize));
    putLe32(front.data() + optional + pe::kSizeOfImage, static_cast<uint32_t>(imageEnd));
    putLe32(front.data() + optional + pe::kDataDirectories + pe::kDirectoryResource * 8 + 4,
            static_cast<uint32_t>(layout.size));
    putLe32(front.data() + optional + pe::kCheckSum, 0);
    putLe32(sectionField(index, 8), static_cast<uint32_t>(layout.size));
    putLe32(sectionField(index, 16), static_cast<uint32_t>(rawSize));

    ChecksummedWriter out(sink);
    out.write(ByteView{front.data(), front.size()});
    out.write(ByteView{layout.tables.data(), layout.tables.size()});
    for (const PlacedResource& placed : layout.data) {
        out.padTo(section.rawPointer + placed.offset);
        out.copy(*placed.data.source, placed.data.offset, placed.data.size);
    }
    out.padTo(section.rawPointer + rawSize);
    out.copy(source, tailStart, source.size() - tailStart);

    uint8_t checksum[4];
    putLe32(checksum, out.checksum());
    sink.writeAt(optional + pe::kCheckSum, ByteView{checksum, sizeof(checksum)});
}

} // namespace pack
