// Writing an image: headers and sections before the resources, the new resource section, the moved tail.
#include "ImageWriter.h"

#include "Checksum.h"
#include "ImageRules.h"
#include "ResourceLayout.h"

#include <algorithm>
#include <cstdint>
#include <vector>

namespace pack {

namespace {

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

// The layout of `old` rewritten with `resourceSize` bytes in its resource section, the section at `index`: the
// sections after it move to follow it, in memory and with their raw data, which starts at `tailStart` in `old`;
// what lies in memory after the old resource section moves with them. Raises FormatError when the image would
// grow past what its fields can state.
ImageLayout rewrittenLayout(const ImageLayout& old, size_t index, uint64_t resourceSize, uint64_t tailStart) {
    ImageLayout layout = old;
    const size_t count = old.sections.size();
    const SectionHeader& before = old.sections[index];
    const uint64_t rawSize = alignUp(resourceSize, old.fileAlignment);
    const uint64_t resourcesEnd = sectionEnd(before.virtualAddress, resourceSize, rawSize, old.sectionAlignment);
    layout.fileSize = before.rawPointer + rawSize + (old.fileSize - tailStart);
    checkRewrittenSize(layout.fileSize, resourceSize, resourcesEnd);
    const uint64_t oldEnd = before.end(old.sectionAlignment);
    const uint64_t followerStart = index + 1 < count ? old.sections[index + 1].virtualAddress : oldEnd;
    const int64_t virtualShift = static_cast<int64_t>(resourcesEnd) - static_cast<int64_t>(followerStart);
    const int64_t rawShift = static_cast<int64_t>(before.rawPointer + rawSize) - static_cast<int64_t>(tailStart);
    const uint64_t imageEnd =
        index + 1 < count
            ? static_cast<uint64_t>(static_cast<int64_t>(old.sections.back().end(old.sectionAlignment)) + virtualShift)
            : resourcesEnd;
    checkImageEnd(imageEnd);

    SectionHeader& resources = layout.sections[index];
    resources.virtualSize = static_cast<uint32_t>(resourceSize);
    resources.rawSize = static_cast<uint32_t>(rawSize);
    for (size_t i = index + 1; i < count; ++i) {
        SectionHeader& moved = layout.sections[i];
        moved.virtualAddress = shifted(moved.virtualAddress, virtualShift);
        if (moved.rawSize != 0) {
            moved.rawPointer = shifted(moved.rawPointer, rawShift);
        }
    }
    for (uint32_t d = 0; d < layout.directories.size(); ++d) {
        DataDirectory& directory = layout.directories[d];
        if (d != pe::kDirectorySecurity && directory.rva >= oldEnd) {
            directory.rva = shifted(directory.rva, virtualShift);
        }
    }
    layout.directories[pe::kDirectoryResource].size = static_cast<uint32_t>(resourceSize);
    layout.sizeOfImage = static_cast<uint32_t>(imageEnd);
    layout.sizeOfInitializedData = static_cast<uint32_t>(old.sizeOfInitializedData - before.rawSize + rawSize);
    return layout;
}

} // namespace

void writeImage(const PeImage& image, const ResourceTree& resources, ByteSink& sink) {
    const size_t index = image.rewritableResourceSection();
    const ImageLayout& old = image.layout();
    const SectionHeader& section = old.sections[index];
    const ResourceSectionLayout content = layoutResourceSection(resources, section.virtualAddress);

    // The image's rules keep the raw data of the later sections after the resources', so the tail starts at the
    // first of them, else where the resources end.
    ByteSource& source = image.source();
    uint64_t tailStart = source.size();
    for (size_t i = index + 1; i < old.sections.size(); ++i) {
        if (old.sections[i].rawSize != 0) {
            tailStart = std::min<uint64_t>(tailStart, old.sections[i].rawPointer);
        }
    }
    if (tailStart == source.size()) {
        tailStart = section.rawEnd();
    }
    // The image as it will be, held to the rules its readers check before a byte of it is written.
    const ImageLayout layout = rewrittenLayout(old, index, content.size, tailStart);
    checkHeaders(layout);
    checkSections(layout);

    std::vector<uint8_t> front = [&] {
        const ByteView view = source.read(0, section.rawPointer);
        return std::vector<uint8_t>(view.data, view.data + view.size);
    }();
    for (size_t i = index; i < layout.sections.size(); ++i) {
        uint8_t* const header = front.data() + layout.offsets.sectionTable + i * pe::kSectionHeaderSize;
        putLe32(header + 8, layout.sections[i].virtualSize);
        putLe32(header + 12, layout.sections[i].virtualAddress);
        putLe32(header + 16, layout.sections[i].rawSize);
        putLe32(header + 20, layout.sections[i].rawPointer);
    }
    for (uint32_t d = 0; d < layout.directories.size(); ++d) {
        putLe32(front.data() + layout.offsets.dataDirectories + d * 8, layout.directories[d].rva);
        putLe32(front.data() + layout.offsets.dataDirectories + d * 8 + 4, layout.directories[d].size);
    }
    const uint32_t optional = layout.offsets.optionalHeader;
    putLe32(front.data() + optional + pe::kSizeOfInitializedData, layout.sizeOfInitializedData);
    putLe32(front.data() + optional + pe::kSizeOfImage, layout.sizeOfImage);
    putLe32(front.data() + optional + pe::kCheckSum, 0);

    ChecksummedWriter out(sink);
    out.write(ByteView{front.data(), front.size()});
    out.write(ByteView{content.tables.data(), content.tables.size()});
    for (const PlacedResource& placed : content.data) {
        out.padTo(section.rawPointer + placed.offset);
        out.copy(*placed.data.source, placed.data.offset, placed.data.size);
    }
    out.padTo(section.rawPointer + layout.sections[index].rawSize);
    out.copy(source, tailStart, source.size() - tailStart);

    uint8_t checksum[4];
    putLe32(checksum, out.checksum());
    sink.writeAt(optional + pe::kCheckSum, ByteView{checksum, sizeof(checksum)});
}

} // namespace pack
