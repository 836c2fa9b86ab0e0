// Reading a 32-bit or 64-bit Windows image: its headers, its sections and its resource tree, from any byte source.
#pragma once

#include "ResourceTree.h"
#include "bytes/Bytes.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace pack {

// Where a section ends in memory: its larger size rounded up to the section alignment.
inline uint64_t sectionEnd(uint64_t virtualAddress, uint64_t virtualSize, uint64_t rawSize, uint32_t sectionAlignment) {
    return virtualAddress + alignUp(virtualSize > rawSize ? virtualSize : rawSize, sectionAlignment);
}

struct SectionHeader {
    uint32_t virtualSize = 0;
    uint32_t virtualAddress = 0;
    uint32_t rawSize = 0;
    uint32_t rawPointer = 0;
    uint32_t characteristics = 0;

    uint64_t end(uint32_t sectionAlignment) const {
        return sectionEnd(virtualAddress, virtualSize, rawSize, sectionAlignment);
    }
    // Where its raw data ends in the file.
    uint64_t rawEnd() const { return uint64_t{rawPointer} + rawSize; }
};

struct DataDirectory {
    uint32_t rva = 0;
    uint32_t size = 0;
};

// Offsets of the header fields the packer reads or changes, from the start of the file.
struct HeaderOffsets {
    uint32_t optionalHeader = 0;
    uint32_t dataDirectories = 0;
    uint32_t sectionTable = 0;
};

// What the headers say of the image's layout, as the rules of ImageRules.h judge it.
struct ImageLayout {
    uint64_t fileSize = 0;
    bool is64Bit = false; // PE32+, else PE32
    HeaderOffsets offsets;
    uint64_t sectionTableEnd = 0;
    uint32_t entryPoint = 0;
    uint32_t sizeOfHeaders = 0;
    uint32_t sizeOfImage = 0;
    uint32_t fileAlignment = 0;
    uint32_t sectionAlignment = 0;
    uint32_t sizeOfInitializedData = 0;
    uint32_t symbolTable = 0;
    std::vector<SectionHeader> sections;    // in order of address, once checkSections has passed
    std::vector<DataDirectory> directories; // at most 16

    // The section whose memory holds `rva`; null when none does.
    const SectionHeader* sectionAt(uint64_t rva) const;
    // The file offset of the `size` bytes at `rva`, when one section's raw data holds them all.
    std::optional<uint64_t> fileOffsetOf(uint64_t rva, uint64_t size) const;
    // The resource section: the one whose memory holds the resource directory; null when there is none.
    const SectionHeader* resourceSection() const;
};

// How far the places reached through an image's debug entries and base relocations extend: the furthest end of a
// debug entry's data in memory and in the file, and of a place a relocation changes (taken as 8 bytes). Each 0
// when there is none.
struct ReferencedExtent {
    uint64_t debugData = 0;
    uint64_t debugFileData = 0;
    uint64_t relocatedPlace = 0;
};

// Layout facts of the PE32 and PE32+ formats.
namespace pe {
constexpr uint16_t kDosSignature = 0x5A4D; // "MZ"
constexpr uint32_t kDosNtOffsetField = 0x3C;
constexpr uint32_t kNtSignature = 0x00004550; // "PE\0\0"
constexpr uint32_t kFileHeaderSize = 20;
constexpr uint16_t kPe32Magic = 0x10B;
constexpr uint16_t kPe32PlusMagic = 0x20B;
constexpr uint32_t kSectionHeaderSize = 40;
constexpr uint32_t kDirectoryResource = 2;
constexpr uint32_t kDirectorySecurity = 4;
constexpr uint32_t kDirectoryBaseRelocation = 5;
constexpr uint32_t kDirectoryDebug = 6;
constexpr uint32_t kMaxDirectories = 16;
constexpr uint32_t kSectionDiscardable = 0x02000000;
constexpr uint32_t kSectionCode = 0x00000020;
constexpr uint32_t kSectionExecutable = 0x20000000;
// Fields of the optional header, from its start.
constexpr uint32_t kSizeOfInitializedData = 8;
constexpr uint32_t kEntryPoint = 16;
constexpr uint32_t kSectionAlignment = 32;
constexpr uint32_t kFileAlignment = 36;
constexpr uint32_t kSizeOfImage = 56;
constexpr uint32_t kSizeOfHeaders = 60;
constexpr uint32_t kCheckSum = 64;
constexpr uint32_t kPe32DataDirectories = 96;
constexpr uint32_t kDataDirectories = 112; // of PE32+
// A debug directory's entries; the size, address and file offset of their data are at 16, 20 and 24.
constexpr uint64_t kDebugEntrySize = 28;
// Base relocations: the size of a block's header, and the type of an entry that is only padding.
constexpr uint64_t kRelocationBlockHeader = 8;
constexpr unsigned kRelocationPadding = 0;
// The resource tree: directories of a header and entries, name texts, and data entries.
constexpr uint32_t kResourceDirectorySize = 16;
constexpr uint32_t kResourceEntrySize = 8;
constexpr uint32_t kResourceDataEntrySize = 16;
// In an entry: a name's offset is a text, a target's offset is a directory.
constexpr uint32_t kResourceHighBit = 0x80000000u;
} // namespace pe

// A 32-bit (PE32) or 64-bit (PE32+) Windows image read from a source it holds a share of, as does every resource
// of its tree. Resource data stays in the source; only the headers and the tree are read.
class PeImage {
public:
    // Checks the image against the rules of ImageRules.h before its resource tree is read; raises FormatError
    // naming the rule it breaks.
    explicit PeImage(std::shared_ptr<ByteSource> source);
    // The same of a source that its owner keeps alive longer than the image and every copy of its tree.
    explicit PeImage(ByteSource& source) : PeImage(borrowed(source)) {}

    ByteSource& source() const { return *source_; }
    const ImageLayout& layout() const { return layout_; }
    const ResourceTree& resources() const { return resources_; }

    // The index of the resource section, which the packer can lay out anew (see ImageRules.h); reads the debug
    // entries and base relocations to judge that. Raises FormatError naming the rule the image breaks.
    size_t rewritableResourceSection() const;

private:
    void readHeaders();
    void readResourceTree();
    ReferencedExtent readReferencedExtent() const;

    std::shared_ptr<ByteSource> source_;
    ImageLayout layout_;
    ResourceTree resources_;
};

} // namespace pack
