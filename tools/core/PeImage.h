// Reading a 64-bit Windows image: its headers, its sections and its resource tree, from any byte source.
#pragma once

#include "Bytes.h"

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace pack {

constexpr uint16_t kResourceTypeRawData = 10;
constexpr uint16_t kResourceTypeVersion = 16;

// A resource type or name: a number, or a text that matches another without regard to ASCII case.
struct ResourceId {
    ResourceId(uint16_t value) : number(value) {}
    ResourceId(std::u16string value) : text(std::move(value)) {}
    ResourceId(const char16_t* value) : text(value) {}

    bool isNumber() const { return text.empty(); }
    // The order of a resource directory: texts first, by code unit with ASCII letters upper-cased, then numbers.
    bool operator<(const ResourceId& other) const;

    uint16_t number = 0;
    std::u16string text;
};

// Where the bytes of one resource are: a range of a source that outlives the tree.
struct ResourceData {
    ByteSource* source = nullptr;
    uint64_t offset = 0;
    uint32_t size = 0;
    uint32_t codePage = 0;
};

// Resources by type, name and language, each level in the order of a resource directory.
class ResourceTree {
public:
    using Languages = std::map<uint16_t, ResourceData>;
    using Names = std::map<ResourceId, Languages>;
    using Types = std::map<ResourceId, Names>;

    // Adds or replaces one resource.
    void put(const ResourceId& type, const ResourceId& name, uint16_t language, const ResourceData& data);
    // Removes one resource, if present, and any directory it leaves empty.
    void remove(const ResourceId& type, const ResourceId& name, uint16_t language);

    // Null when absent.
    const ResourceData* find(const ResourceId& type, const ResourceId& name, uint16_t language) const;
    // The languages of one resource, in ascending order; empty when it is absent.
    std::vector<uint16_t> languages(const ResourceId& type, const ResourceId& name) const;

    const Types& types() const { return types_; }

private:
    Types types_;
};

struct SectionHeader {
    uint32_t virtualSize = 0;
    uint32_t virtualAddress = 0;
    uint32_t rawSize = 0;
    uint32_t rawPointer = 0;
    uint32_t characteristics = 0;
};

struct DataDirectory {
    uint32_t rva = 0;
    uint32_t size = 0;
};

// Offsets of the header fields the packer reads or changes, from the start of the file.
struct HeaderOffsets {
    uint32_t optionalHeader = 0;
    uint32_t sectionTable = 0;
};

// Layout facts of the PE32+ format.
namespace pe {
constexpr uint32_t kSectionHeaderSize = 40;
constexpr uint32_t kDirectoryResource = 2;
constexpr uint32_t kDirectorySecurity = 4;
constexpr uint32_t kDirectoryBaseRelocation = 5;
constexpr uint32_t kMaxDirectories = 16;
constexpr uint32_t kSectionDiscardable = 0x02000000;
// Fields of the optional header, from its start.
constexpr uint32_t kSizeOfInitializedData = 8;
constexpr uint32_t kSizeOfImage = 56;
constexpr uint32_t kCheckSum = 64;
constexpr uint32_t kDataDirectories = 112;
} // namespace pe

// A 64-bit Windows image read from a source that outlives it. Resource data stays in the source; only the
// headers and the tree are read.
class PeImage {
public:
    // Raises FormatError saying what is wrong when the source is no such image or its resource tree is damaged.
    explicit PeImage(ByteSource& source);

    ByteSource& source() const { return source_; }
    const HeaderOffsets& offsets() const { return offsets_; }
    const std::vector<SectionHeader>& sections() const { return sections_; }
    // The directories the header has, at most 16.
    const std::vector<DataDirectory>& directories() const { return directories_; }
    uint32_t fileAlignment() const { return fileAlignment_; }
    uint32_t sectionAlignment() const { return sectionAlignment_; }
    uint32_t sizeOfInitializedData() const { return sizeOfInitializedData_; }
    const ResourceTree& resources() const { return resources_; }

    // The section that holds the resource tree and nothing else, and that only discardable sections follow: the
    // one the packer can lay out anew. Raises FormatError when the image cannot be rewritten so, or when it is
    // signed or carries a symbol table, which a rewrite would invalidate.
    size_t rewritableResourceSection() const;

private:
    // The file offset of `size` bytes at `rva`, which must lie within one section's data.
    uint64_t fileOffsetOf(uint32_t rva, uint32_t size) const;
    void readResourceTree();

    ByteSource& source_;
    HeaderOffsets offsets_;
    std::vector<SectionHeader> sections_;
    std::vector<DataDirectory> directories_;
    uint32_t fileAlignment_ = 0;
    uint32_t sectionAlignment_ = 0;
    uint32_t sizeOfInitializedData_ = 0;
    uint32_t symbolTable_ = 0;
    ResourceTree resources_;
};

} // namespace pack
