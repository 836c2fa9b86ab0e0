// Reading PE32 and PE32+ headers, the section table and the three levels of the resource directory.
#include "PeImage.h"

#include "ImageRules.h"
#include "PackError.h"
#include "bytes/Region.h"

#include <algorithm>
#include <iterator>
#include <unordered_map>
#include <utility>

namespace pack {

namespace {

// What a base relocation changes, taken at its widest: a 64-bit address.
constexpr uint64_t kRelocatedPlaceSize = 8;

} // namespace

const SectionHeader* ImageLayout::sectionAt(uint64_t rva) const {
    // The last section that starts at or before `rva`.
    const auto after = std::upper_bound(sections.begin(), sections.end(), rva,
                                        [](uint64_t at, const SectionHeader& s) { return at < s.virtualAddress; });
    if (after == sections.begin() || rva >= (after - 1)->end(sectionAlignment)) {
        return nullptr;
    }
    return &*(after - 1);
}

std::optional<uint64_t> ImageLayout::fileOffsetOf(uint64_t rva, uint64_t size) const {
    const SectionHeader* section = sectionAt(rva);
    if (!section || rva + size > uint64_t{section->virtualAddress} + section->rawSize) {
        return std::nullopt;
    }
    return uint64_t{section->rawPointer} + (rva - section->virtualAddress);
}

const SectionHeader* ImageLayout::resourceSection() const {
    const uint32_t rva = directories[pe::kDirectoryResource].rva;
    return rva == 0 ? nullptr : sectionAt(rva);
}

PeImage::PeImage(std::shared_ptr<ByteSource> source) : source_(std::move(source)) {
    readHeaders();
    readResourceTree();
}

size_t PeImage::rewritableResourceSection() const {
    const size_t index = pack::rewritableResourceSection(layout_);
    checkReferencesBefore(layout_.sections[index], readReferencedExtent());
    return index;
}

void PeImage::readHeaders() {
    layout_.fileSize = source_->size();
    const char* const notExecutable = "it is not a Windows executable";
    const Region file(*source_, 0, layout_.fileSize, notExecutable);
    if (file.le16(0) != pe::kDosSignature) {
        file.refuse();
    }
    const uint64_t ntOffset = file.le32(pe::kDosNtOffsetField);
    if (file.le32(ntOffset) != pe::kNtSignature) {
        file.refuse();
    }
    checkComplete(layout_.fileSize, ntOffset + 4 + pe::kFileHeaderSize);
    const Region fileHeader(*source_, ntOffset + 4, pe::kFileHeaderSize, notExecutable);
    const uint16_t sectionCount = fileHeader.le16(2);
    layout_.symbolTable = fileHeader.le32(8);
    const uint16_t optionalSize = fileHeader.le16(16);

    const uint64_t optionalStart = ntOffset + 4 + pe::kFileHeaderSize;
    checkComplete(layout_.fileSize, optionalStart + optionalSize);
    const Region optional(*source_, optionalStart, optionalSize, "its optional header is damaged");
    const uint16_t magic = optional.le16(0);
    refuseIf(magic != pe::kPe32Magic && magic != pe::kPe32PlusMagic, "it is neither a 32-bit nor a 64-bit image");
    // The two differ in the widths of fields before the data directories, which the packer does not read.
    layout_.is64Bit = magic == pe::kPe32PlusMagic;
    const uint32_t directoriesAt = layout_.is64Bit ? pe::kDataDirectories : pe::kPe32DataDirectories;
    const uint32_t directoryCount = std::min(optional.le32(directoriesAt - 4), pe::kMaxDirectories);
    if (directoryCount <= pe::kDirectoryBaseRelocation) {
        optional.refuse();
    }
    layout_.sizeOfInitializedData = optional.le32(pe::kSizeOfInitializedData);
    layout_.entryPoint = optional.le32(pe::kEntryPoint);
    layout_.sectionAlignment = optional.le32(pe::kSectionAlignment);
    layout_.fileAlignment = optional.le32(pe::kFileAlignment);
    layout_.sizeOfImage = optional.le32(pe::kSizeOfImage);
    layout_.sizeOfHeaders = optional.le32(pe::kSizeOfHeaders);
    for (uint32_t d = 0; d < directoryCount; ++d) {
        layout_.directories.push_back(
            DataDirectory{optional.le32(directoriesAt + d * 8), optional.le32(directoriesAt + d * 8 + 4)});
    }
    layout_.sectionTableEnd = optionalStart + optionalSize + uint64_t{sectionCount} * pe::kSectionHeaderSize;
    checkHeaders(layout_);
    // Inside the headers, so within 32 bits.
    layout_.offsets.optionalHeader = static_cast<uint32_t>(optionalStart);
    layout_.offsets.dataDirectories = static_cast<uint32_t>(optionalStart + directoriesAt);
    layout_.offsets.sectionTable = static_cast<uint32_t>(optionalStart + optionalSize);

    const Region table(*source_, layout_.offsets.sectionTable, uint64_t{sectionCount} * pe::kSectionHeaderSize,
                       "its section table does not lie inside its headers");
    for (uint16_t i = 0; i < sectionCount; ++i) {
        const uint64_t at = uint64_t{i} * pe::kSectionHeaderSize;
        layout_.sections.push_back(SectionHeader{table.le32(at + 8), table.le32(at + 12), table.le32(at + 16),
                                                 table.le32(at + 20), table.le32(at + 36)});
    }
    checkSections(layout_);
}

ReferencedExtent PeImage::readReferencedExtent() const {
    ReferencedExtent extent;
    // The region of the file that data directory `index` names, when it is not empty.
    const auto directory = [this](uint32_t index, const char* outside, const char* damaged) -> std::optional<Region> {
        if (index >= layout_.directories.size() || layout_.directories[index].size == 0) {
            return std::nullopt;
        }
        const DataDirectory& named = layout_.directories[index];
        const std::optional<uint64_t> at = layout_.fileOffsetOf(named.rva, named.size);
        refuseIf(!at, outside);
        return Region(*source_, *at, named.size, damaged);
    };

    if (const std::optional<Region> debug =
            directory(pe::kDirectoryDebug, "its debug directory lies outside the data of its sections",
                      "its debug directory is damaged")) {
        for (uint64_t entry = 0; entry + pe::kDebugEntrySize <= debug->size(); entry += pe::kDebugEntrySize) {
            const uint64_t size = debug->le32(entry + 16);
            if (const uint32_t rva = debug->le32(entry + 20)) {
                extent.debugData = std::max(extent.debugData, rva + size);
            }
            if (const uint32_t offset = debug->le32(entry + 24)) {
                extent.debugFileData = std::max(extent.debugFileData, offset + size);
            }
        }
    }

    if (const std::optional<Region> blocks =
            directory(pe::kDirectoryBaseRelocation, "its base relocations lie outside the data of its sections",
                      "its base relocations are damaged")) {
        // Blocks of a page's address, the block's size, and 16-bit entries: a type and an offset in the page.
        for (uint64_t block = 0; block + pe::kRelocationBlockHeader <= blocks->size();) {
            const uint32_t page = blocks->le32(block);
            const uint32_t blockSize = blocks->le32(block + 4);
            if (blockSize < pe::kRelocationBlockHeader) {
                blocks->refuse();
            }
            const ByteView entries = blocks->read(block + pe::kRelocationBlockHeader, blockSize - pe::kRelocationBlockHeader);
            for (size_t at = 0; at + 2 <= entries.size; at += 2) {
                const uint16_t entry = getLe16(entries.data + at);
                if (entry >> 12 != pe::kRelocationPadding) {
                    extent.relocatedPlace =
                        std::max(extent.relocatedPlace, uint64_t{page} + (entry & 0xFFF) + kRelocatedPlaceSize);
                }
            }
            block += blockSize;
        }
    }
    return extent;
}

namespace {

// Reads the three levels of a resource tree, each directory once and each entry's identifier once, with every
// offset checked against the tree's region and every rule of ImageRules.h told as it is met.
class ResourceTreeReader {
public:
    ResourceTreeReader(const Region& tree, const ImageLayout& layout)
        : tree_(tree), layout_(layout), rules_(tree.size()) {}

    ResourceTree read(const std::shared_ptr<ByteSource>& source) {
        ResourceTree::Types types;
        std::vector<FileRange> data;
        for (auto& [type, typeField] : entries(0)) {
            ResourceTree::Names& names = add(types, std::move(type));
            for (auto& [name, nameField] : entries(ResourceTreeRules::subdirectory(typeField))) {
                ResourceTree::Languages& languages = add(names, std::move(name));
                const std::vector<uint8_t> leaves = table(ResourceTreeRules::subdirectory(nameField));
                for (size_t at = 0; at < leaves.size(); at += pe::kResourceEntrySize) {
                    const uint32_t language = getLe32(leaves.data() + at);
                    const uint32_t leaf = getLe32(leaves.data() + at + 4);
                    ResourceTreeRules::resource(language, leaf);
                    tree_.require(leaf, pe::kResourceDataEntrySize);
                    const uint32_t rva = tree_.le32(leaf);
                    const uint32_t size = tree_.le32(uint64_t{leaf} + 4);
                    const uint32_t codePage = tree_.le32(uint64_t{leaf} + 8);
                    const uint64_t offset = ResourceTreeRules::dataOffset(layout_.fileOffsetOf(rva, size));
                    data.push_back(FileRange{offset, size});
                    add(languages, static_cast<uint16_t>(language)) = ResourceData{source, offset, size, codePage};
                }
            }
            dropEmpty(names);
        }
        // An empty directory would name a resource that is not there.
        dropEmpty(types);
        ResourceTreeRules::dataApart(std::move(data));
        return ResourceTree(std::move(types));
    }

private:
    // The value of a new `key` in the directory `map`: the one look-up of that key, which takes constant time
    // when the entries come in order, as a directory holds them.
    template <class Map> static typename Map::mapped_type& add(Map& map, typename Map::key_type key) {
        const size_t before = map.size();
        const auto at = map.emplace_hint(map.end(), std::move(key), typename Map::mapped_type{});
        ResourceTreeRules::newIdentifier(map.size() != before);
        return at->second;
    }

    template <class Map> static void dropEmpty(Map& map) {
        for (auto at = map.begin(); at != map.end();) {
            at = at->second.empty() ? map.erase(at) : std::next(at);
        }
    }

    // The table of the directory at `offset`: an identifier field and an offset field for each entry.
    std::vector<uint8_t> table(uint32_t offset) {
        const uint64_t count = uint64_t{tree_.le16(uint64_t{offset} + 12)} + tree_.le16(uint64_t{offset} + 14);
        rules_.directory(offset, count);
        return tree_.copy(uint64_t{offset} + pe::kResourceDirectorySize, count * pe::kResourceEntrySize);
    }

    // The entries of the directory at `offset`, each with its identifier and its offset field.
    std::vector<std::pair<ResourceId, uint32_t>> entries(uint32_t offset) {
        const std::vector<uint8_t> fields = table(offset);
        std::vector<std::pair<ResourceId, uint32_t>> result;
        result.reserve(fields.size() / pe::kResourceEntrySize);
        for (size_t at = 0; at < fields.size(); at += pe::kResourceEntrySize) {
            const uint32_t name = getLe32(fields.data() + at);
            const uint32_t target = getLe32(fields.data() + at + 4);
            if (name & pe::kResourceHighBit) {
                result.emplace_back(ResourceId(nameAt(name & ~pe::kResourceHighBit)), target);
            } else {
                result.emplace_back(ResourceId(static_cast<uint16_t>(name)), target);
            }
        }
        return result;
    }

    // The name text at `offset`, read once however many entries share it; every use counts against the bound.
    const std::u16string& nameAt(uint32_t offset) {
        auto found = names_.find(offset);
        if (found == names_.end()) {
            const uint16_t length = tree_.le16(offset);
            const ByteView units = tree_.read(uint64_t{offset} + 2, uint64_t{length} * 2);
            std::u16string text(length, u'\0');
            for (uint16_t k = 0; k < length; ++k) {
                text[k] = static_cast<char16_t>(getLe16(units.data + k * 2));
            }
            found = names_.emplace(offset, std::move(text)).first;
        }
        rules_.name(found->second.size());
        return found->second;
    }

    const Region& tree_;
    const ImageLayout& layout_;
    ResourceTreeRules rules_;
    std::unordered_map<uint32_t, std::u16string> names_;
};

} // namespace

void PeImage::readResourceTree() {
    const SectionHeader* section = layout_.resourceSection();
    // Offsets within the tree count from its root, up to the end of the section's raw data.
    const std::optional<uint64_t> root =
        ResourceTreeRules::rootOffset(section, layout_.directories[pe::kDirectoryResource].rva);
    if (!root) {
        return;
    }
    const Region tree(*source_, section->rawPointer + *root, section->rawSize - *root,
                      ResourceTreeRules::kOffsetOutside);
    resources_ = ResourceTreeReader(tree, layout_).read(source_);
}

} // namespace pack
