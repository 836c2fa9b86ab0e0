// Reading PE32+ and PE32 headers, the section table and the three levels of the resource directory.
#include "PeImage.h"

#include "ImageRules.h"
#include "PackError.h"
#include "Region.h"

#include <algorithm>
#include <unordered_map>
#include <unordered_set>
#include <utility>

namespace pack {

namespace {

constexpr uint32_t kNtSignature = 0x00004550; // "PE\0\0"
constexpr uint16_t kPe32PlusMagic = 0x20B;
constexpr uint16_t kPe32Magic = 0x10B;
// PE32's image base and stack and heap sizes are 32-bit: its fields from the directory count on lie this much
// before PE32+'s.
constexpr uint32_t kPe32Narrowing = 16;
constexpr uint32_t kDosNtOffsetField = 0x3C;
constexpr uint32_t kFileHeaderSize = 20;
constexpr uint32_t kOptionalHeaderSize = pe::kDataDirectories + pe::kMaxDirectories * 8;
// Fields of the optional header, from its start.
constexpr uint32_t kSectionAlignment = 32;
constexpr uint32_t kFileAlignment = 36;
constexpr uint32_t kSizeOfHeaders = 60;
constexpr uint32_t kDirectoryCount = 108;

char16_t asciiUpper(char16_t c) { return c >= u'a' && c <= u'z' ? static_cast<char16_t>(c - u'a' + u'A') : c; }

} // namespace

bool ResourceId::operator<(const ResourceId& other) const {
    if (isNumber() != other.isNumber()) {
        return !isNumber();
    }
    if (isNumber()) {
        return number < other.number;
    }
    const size_t common = std::min(text.size(), other.text.size());
    for (size_t i = 0; i < common; ++i) {
        const char16_t a = asciiUpper(text[i]);
        const char16_t b = asciiUpper(other.text[i]);
        if (a != b) {
            return a < b;
        }
    }
    return text.size() < other.text.size();
}

void ResourceTree::put(const ResourceId& type, const ResourceId& name, uint16_t language, const ResourceData& data) {
    types_[type][name][language] = data;
}

void ResourceTree::remove(const ResourceId& type, const ResourceId& name, uint16_t language) {
    const auto typeFound = types_.find(type);
    if (typeFound == types_.end()) {
        return;
    }
    const auto nameFound = typeFound->second.find(name);
    if (nameFound == typeFound->second.end()) {
        return;
    }
    nameFound->second.erase(language);
    // An empty directory would name a resource that is not there.
    if (nameFound->second.empty()) {
        typeFound->second.erase(nameFound);
    }
    if (typeFound->second.empty()) {
        types_.erase(typeFound);
    }
}

const ResourceData* ResourceTree::find(const ResourceId& type, const ResourceId& name, uint16_t language) const {
    const auto typeFound = types_.find(type);
    if (typeFound == types_.end()) {
        return nullptr;
    }
    const auto nameFound = typeFound->second.find(name);
    if (nameFound == typeFound->second.end()) {
        return nullptr;
    }
    const auto languageFound = nameFound->second.find(language);
    return languageFound == nameFound->second.end() ? nullptr : &languageFound->second;
}

std::vector<uint16_t> ResourceTree::languages(const ResourceId& type, const ResourceId& name) const {
    std::vector<uint16_t> result;
    const auto typeFound = types_.find(type);
    if (typeFound != types_.end()) {
        const auto nameFound = typeFound->second.find(name);
        if (nameFound != typeFound->second.end()) {
            for (const auto& entry : nameFound->second) {
                result.push_back(entry.first);
            }
        }
    }
    return result;
}

const ResourceTree::Languages::value_type* ResourceTree::first(const ResourceId& type, const ResourceId& name) const {
    const auto typeFound = types_.find(type);
    if (typeFound == types_.end()) {
        return nullptr;
    }
    const auto nameFound = typeFound->second.find(name);
    return nameFound == typeFound->second.end() || nameFound->second.empty() ? nullptr : &*nameFound->second.begin();
}

PeImage::PeImage(ByteSource& source, ImageWidth width) : source_(source) {
    readHeaders(width);
    readResourceTree();
}

size_t PeImage::rewritableResourceSection() const { return pack::rewritableResourceSection(layout_); }

void PeImage::readHeaders(ImageWidth width) {
    layout_.fileSize = source_.size();
    const char* const notExecutable = "it is not a Windows executable";
    const Region file(source_, 0, layout_.fileSize, notExecutable);
    if (file.le16(0) != pe::kDosSignature) {
        file.refuse();
    }
    const uint64_t ntOffset = file.le32(kDosNtOffsetField);
    if (file.le32(ntOffset) != kNtSignature) {
        file.refuse();
    }
    checkComplete(layout_.fileSize, ntOffset + 4 + kFileHeaderSize);
    const Region fileHeader(source_, ntOffset + 4, kFileHeaderSize, notExecutable);
    const uint16_t sectionCount = fileHeader.le16(2);
    layout_.symbolTable = fileHeader.le32(8);
    const uint16_t optionalSize = fileHeader.le16(16);

    const uint64_t optionalStart = ntOffset + 4 + kFileHeaderSize;
    checkComplete(layout_.fileSize, optionalStart + optionalSize);
    const Region optional(source_, optionalStart, optionalSize,
                          width == ImageWidth::Any ? "it is neither a 32-bit nor a 64-bit image"
                                                   : "it is not a 64-bit image");
    const uint16_t magic = optional.le16(0);
    layout_.pe32Plus = magic == kPe32PlusMagic;
    if (!layout_.pe32Plus && (magic != kPe32Magic || width != ImageWidth::Any)) {
        optional.refuse();
    }
    const uint32_t narrowing = layout_.pe32Plus ? 0 : kPe32Narrowing;
    const uint32_t directoriesAt = pe::kDataDirectories - narrowing;
    const uint32_t directoryCount = std::min(optional.le32(kDirectoryCount - narrowing), pe::kMaxDirectories);
    if (optionalSize < kOptionalHeaderSize - narrowing || directoryCount <= pe::kDirectoryBaseRelocation) {
        optional.refuse();
    }
    layout_.sizeOfInitializedData = optional.le32(pe::kSizeOfInitializedData);
    layout_.sectionAlignment = optional.le32(kSectionAlignment);
    layout_.fileAlignment = optional.le32(kFileAlignment);
    layout_.sizeOfImage = optional.le32(pe::kSizeOfImage);
    layout_.sizeOfHeaders = optional.le32(kSizeOfHeaders);
    for (uint32_t d = 0; d < directoryCount; ++d) {
        layout_.directories.push_back(
            DataDirectory{optional.le32(directoriesAt + d * 8), optional.le32(directoriesAt + d * 8 + 4)});
    }
    layout_.sectionTableEnd = optionalStart + optionalSize + uint64_t{sectionCount} * pe::kSectionHeaderSize;
    checkHeaders(layout_);
    // Inside the headers, so within 32 bits.
    layout_.offsets.optionalHeader = static_cast<uint32_t>(optionalStart);
    layout_.offsets.sectionTable = static_cast<uint32_t>(optionalStart + optionalSize);

    const Region table(source_, layout_.offsets.sectionTable, uint64_t{sectionCount} * pe::kSectionHeaderSize,
                       "its section table does not lie inside its headers");
    for (uint16_t i = 0; i < sectionCount; ++i) {
        const uint64_t at = uint64_t{i} * pe::kSectionHeaderSize;
        layout_.sections.push_back(SectionHeader{table.le32(at + 8), table.le32(at + 12), table.le32(at + 16),
                                                 table.le32(at + 20), table.le32(at + 36)});
    }
    checkSections(layout_);
}

namespace {

// Reads the three levels of a resource tree, each directory once, with every offset checked against the tree's
// region and the tree's size bounded as ImageRules.h states.
class ResourceTreeReader {
public:
    ResourceTreeReader(const Region& tree, const ImageLayout& layout)
        : tree_(tree), layout_(layout),
          entriesLeft_(std::min(tree.size() / pe::kResourceEntrySize, kMaxResourceEntries)),
          nameUnitsLeft_(std::min(tree.size() / 2, kMaxResourceNameUnits)) {}

    void readInto(ResourceTree& resources, ByteSource& source) {
        std::vector<FileRange> data;
        for (const auto& [type, typeField] : entries(0)) {
            for (const auto& [name, nameField] : entries(subdirectory(typeField))) {
                for (const auto& [language, leaf] : entries(subdirectory(nameField))) {
                    if ((leaf & pe::kResourceHighBit) || !language.isNumber()) {
                        refuse("an entry of its last level is no resource");
                    }
                    tree_.require(leaf, pe::kResourceDataEntrySize);
                    const uint32_t rva = tree_.le32(leaf);
                    const uint32_t size = tree_.le32(uint64_t{leaf} + 4);
                    const uint32_t codePage = tree_.le32(uint64_t{leaf} + 8);
                    data.push_back(FileRange{fileOffsetOf(rva, size), size});
                    resources.put(type, name, language.number,
                                  ResourceData{&source, data.back().offset, size, codePage});
                }
            }
        }
        checkResourceDataApart(std::move(data));
    }

private:
    [[noreturn]] static void refuse(const char* rule) {
        throw FormatError(std::string("its resource tree is damaged: ") + rule);
    }

    uint32_t subdirectory(uint32_t offsetField) const {
        if (!(offsetField & pe::kResourceHighBit)) {
            refuse("an entry of its first two levels is no directory");
        }
        return offsetField & ~pe::kResourceHighBit;
    }

    // The entries of the directory at `offset`, each with its identifier and its offset field.
    std::vector<std::pair<ResourceId, uint32_t>> entries(uint32_t offset) {
        if (!visited_.insert(offset).second) {
            refuse("a directory is reached twice");
        }
        const uint64_t count = uint64_t{tree_.le16(uint64_t{offset} + 12)} + tree_.le16(uint64_t{offset} + 14);
        if (count > entriesLeft_) {
            refuse("it has more entries than its section holds");
        }
        entriesLeft_ -= count;
        const ByteView view = tree_.read(uint64_t{offset} + pe::kResourceDirectorySize, count * pe::kResourceEntrySize);
        const std::vector<uint8_t> table(view.data, view.data + view.size);
        std::vector<std::pair<ResourceId, uint32_t>> result;
        result.reserve(count);
        for (size_t i = 0; i < count; ++i) {
            const uint32_t name = getLe32(table.data() + i * pe::kResourceEntrySize);
            const uint32_t target = getLe32(table.data() + i * pe::kResourceEntrySize + 4);
            if (name & pe::kResourceHighBit) {
                result.emplace_back(ResourceId(nameAt(name & ~pe::kResourceHighBit)), target);
            } else {
                result.emplace_back(ResourceId(static_cast<uint16_t>(name)), target);
            }
        }
        std::vector<const ResourceId*> ids;
        ids.reserve(count);
        for (const auto& entry : result) {
            ids.push_back(&entry.first);
        }
        std::sort(ids.begin(), ids.end(), [](const ResourceId* a, const ResourceId* b) { return *a < *b; });
        for (size_t i = 1; i < ids.size(); ++i) {
            if (!(*ids[i - 1] < *ids[i])) {
                refuse("two entries of a directory have the same identifier");
            }
        }
        return result;
    }

    // The name text at `offset`, read once however many entries share it; every use counts against the bound.
    const std::u16string& nameAt(uint32_t offset) {
        auto found = names_.find(offset);
        if (found == names_.end()) {
            const uint16_t length = tree_.le16(offset);
            if (length == 0) {
                refuse("a name is empty");
            }
            const ByteView units = tree_.read(uint64_t{offset} + 2, uint64_t{length} * 2);
            std::u16string text(length, u'\0');
            for (uint16_t k = 0; k < length; ++k) {
                text[k] = static_cast<char16_t>(getLe16(units.data + k * 2));
            }
            found = names_.emplace(offset, std::move(text)).first;
        }
        if (found->second.size() > nameUnitsLeft_) {
            refuse("its names repeat more text than its section holds");
        }
        nameUnitsLeft_ -= found->second.size();
        return found->second;
    }

    // The file offset of `size` bytes at `rva`, which must lie within one section's raw data: the last section
    // that starts at or before it, as the sections are in order of address.
    uint64_t fileOffsetOf(uint32_t rva, uint32_t size) const {
        const std::vector<SectionHeader>& sections = layout_.sections;
        const auto after = std::upper_bound(sections.begin(), sections.end(), rva,
                                            [](uint32_t at, const SectionHeader& s) { return at < s.virtualAddress; });
        if (after != sections.begin()) {
            const SectionHeader& section = *(after - 1);
            if (uint64_t{rva} + size <= uint64_t{section.virtualAddress} + section.rawSize) {
                return uint64_t{section.rawPointer} + (rva - section.virtualAddress);
            }
        }
        refuse("a resource lies outside the data of its sections");
    }

    const Region& tree_;
    const ImageLayout& layout_;
    uint64_t entriesLeft_;
    uint64_t nameUnitsLeft_;
    std::unordered_set<uint32_t> visited_;
    std::unordered_map<uint32_t, std::u16string> names_;
};

} // namespace

void PeImage::readResourceTree() {
    const uint32_t rootRva = layout_.directories[pe::kDirectoryResource].rva;
    if (rootRva == 0) {
        return;
    }
    // Offsets within the tree count from its root, up to the end of the one section that holds it.
    const auto holder =
        std::find_if(layout_.sections.begin(), layout_.sections.end(), [rootRva](const SectionHeader& s) {
            return rootRva >= s.virtualAddress && rootRva < uint64_t{s.virtualAddress} + s.rawSize;
        });
    if (holder == layout_.sections.end()) {
        throw FormatError("its resource tree lies outside the data of its sections");
    }
    const uint32_t skipped = rootRva - holder->virtualAddress;
    const Region tree(source_, uint64_t{holder->rawPointer} + skipped, holder->rawSize - skipped,
                      "its resource tree is damaged: an offset lies outside its section");
    ResourceTreeReader(tree, layout_).readInto(resources_, source_);
}

} // namespace pack
