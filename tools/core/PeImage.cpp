// Reading PE32+ headers, the section table and the three levels of the resource directory.
#include "PeImage.h"

#include "PackError.h"

#include <algorithm>
#include <utility>

namespace pack {

namespace {

constexpr uint16_t kDosSignature = 0x5A4D;    // "MZ"
constexpr uint32_t kNtSignature = 0x00004550; // "PE\0\0"
constexpr uint16_t kPe32PlusMagic = 0x20B;
constexpr uint32_t kDosNtOffsetField = 0x3C;
constexpr uint32_t kFileHeaderSize = 20;
constexpr uint32_t kOptionalHeaderSize = pe::kDataDirectories + pe::kMaxDirectories * 8;
constexpr uint32_t kDirectoryHeaderSize = 16;
constexpr uint32_t kDirectoryEntrySize = 8;
constexpr uint32_t kDataEntrySize = 16;
constexpr uint32_t kHighBit = 0x80000000u;

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

PeImage::PeImage(ByteSource& source) : source_(source) {
    const auto refuseIf = [](bool problem, const char* text) {
        if (problem) {
            throw FormatError(text);
        }
    };
    const uint64_t fileSize = source_.size();
    refuseIf(fileSize < kDosNtOffsetField + 4 || getLe16(source_.read(0, 2).data) != kDosSignature,
             "it is not a Windows executable");
    const uint32_t ntOffset = getLe32(source_.read(kDosNtOffsetField, 4).data);
    refuseIf(uint64_t{ntOffset} + 4 + kFileHeaderSize + 2 > fileSize ||
                 getLe32(source_.read(ntOffset, 4).data) != kNtSignature,
             "it is not a Windows executable");
    const ByteView fileHeader = source_.read(ntOffset + 4, kFileHeaderSize);
    const uint16_t sectionCount = getLe16(fileHeader.data + 2);
    symbolTable_ = getLe32(fileHeader.data + 8);
    const uint16_t optionalSize = getLe16(fileHeader.data + 16);
    offsets_.optionalHeader = ntOffset + 4 + kFileHeaderSize;
    offsets_.sectionTable = offsets_.optionalHeader + optionalSize;
    refuseIf(getLe16(source_.read(offsets_.optionalHeader, 2).data) != kPe32PlusMagic ||
                 optionalSize < pe::kDataDirectories || uint64_t{offsets_.optionalHeader} + optionalSize > fileSize,
             "it is not a 64-bit image");

    const ByteView optional = source_.read(offsets_.optionalHeader, optionalSize);
    sizeOfInitializedData_ = getLe32(optional.data + pe::kSizeOfInitializedData);
    sectionAlignment_ = getLe32(optional.data + 32);
    fileAlignment_ = getLe32(optional.data + 36);
    const uint32_t directoryCount = std::min(getLe32(optional.data + 108), pe::kMaxDirectories);
    refuseIf(directoryCount <= pe::kDirectoryBaseRelocation || optionalSize < kOptionalHeaderSize ||
                 fileAlignment_ == 0 || sectionAlignment_ == 0,
             "it is not a 64-bit image");
    for (uint32_t d = 0; d < directoryCount; ++d) {
        const uint8_t* at = optional.data + pe::kDataDirectories + d * 8;
        directories_.push_back(DataDirectory{getLe32(at), getLe32(at + 4)});
    }

    refuseIf(uint64_t{offsets_.sectionTable} + uint64_t{sectionCount} * pe::kSectionHeaderSize > fileSize,
             "its section table is cut short");
    const ByteView table = source_.read(offsets_.sectionTable, size_t{sectionCount} * pe::kSectionHeaderSize);
    for (uint16_t i = 0; i < sectionCount; ++i) {
        const uint8_t* at = table.data + size_t{i} * pe::kSectionHeaderSize;
        const SectionHeader section{getLe32(at + 8), getLe32(at + 12), getLe32(at + 16), getLe32(at + 20),
                                    getLe32(at + 36)};
        refuseIf(uint64_t{section.rawPointer} + section.rawSize > fileSize,
                 "a section lies beyond the end of the file");
        sections_.push_back(section);
    }
    readResourceTree();
}

size_t PeImage::rewritableResourceSection() const {
    if (directories_[pe::kDirectorySecurity].size != 0) {
        throw FormatError("it is signed, and its signature would not hold for the setup");
    }
    if (symbolTable_ != 0) {
        throw FormatError("it carries a symbol table");
    }
    const uint32_t resourceRva = directories_[pe::kDirectoryResource].rva;
    for (size_t i = 0; i < sections_.size(); ++i) {
        if (resourceRva != 0 && sections_[i].virtualAddress == resourceRva) {
            for (size_t later = i + 1; later < sections_.size(); ++later) {
                if (!(sections_[later].characteristics & pe::kSectionDiscardable)) {
                    throw FormatError("a section that is not discardable follows its resources");
                }
            }
            return i;
        }
    }
    throw FormatError("its resources do not fill a section of their own");
}

uint64_t PeImage::fileOffsetOf(uint32_t rva, uint32_t size) const {
    for (const SectionHeader& section : sections_) {
        if (rva >= section.virtualAddress &&
            uint64_t{rva} + size <= uint64_t{section.virtualAddress} + section.rawSize) {
            return uint64_t{section.rawPointer} + (rva - section.virtualAddress);
        }
    }
    throw FormatError("a resource lies outside its file");
}

void PeImage::readResourceTree() {
    const uint32_t rootRva = directories_[pe::kDirectoryResource].rva;
    if (rootRva == 0) {
        return;
    }
    // Offsets within the tree count from its root, up to the end of the section that holds it.
    const uint64_t base = fileOffsetOf(rootRva, kDirectoryHeaderSize);
    uint64_t limit = 0;
    for (const SectionHeader& section : sections_) {
        if (rootRva >= section.virtualAddress && rootRva < uint64_t{section.virtualAddress} + section.rawSize) {
            limit = uint64_t{section.virtualAddress} + section.rawSize - rootRva;
        }
    }
    const auto check = [limit](uint64_t offset, uint64_t size) {
        if (offset > limit || size > limit - offset) {
            throw FormatError("its resource tree is damaged");
        }
    };
    // The entries of the directory at `offset`, each with its identifier and its offset field.
    const auto entries = [&](uint64_t offset) {
        check(offset, kDirectoryHeaderSize);
        const ByteView header = source_.read(base + offset, kDirectoryHeaderSize);
        const uint32_t count = uint32_t{getLe16(header.data + 12)} + getLe16(header.data + 14);
        check(offset + kDirectoryHeaderSize, uint64_t{count} * kDirectoryEntrySize);
        const std::vector<uint8_t> table = [&] {
            const ByteView view = source_.read(base + offset + kDirectoryHeaderSize, count * kDirectoryEntrySize);
            return std::vector<uint8_t>(view.data, view.data + view.size);
        }();
        std::vector<std::pair<ResourceId, uint32_t>> result;
        for (uint32_t i = 0; i < count; ++i) {
            const uint32_t name = getLe32(table.data() + i * kDirectoryEntrySize);
            const uint32_t data = getLe32(table.data() + i * kDirectoryEntrySize + 4);
            if (!(name & kHighBit)) {
                result.emplace_back(ResourceId(static_cast<uint16_t>(name)), data);
                continue;
            }
            const uint64_t at = name & ~kHighBit;
            check(at, 2);
            const uint16_t length = getLe16(source_.read(base + at, 2).data);
            check(at + 2, uint64_t{length} * 2);
            const ByteView units = source_.read(base + at + 2, size_t{length} * 2);
            std::u16string text(length, u'\0');
            for (uint16_t k = 0; k < length; ++k) {
                text[k] = static_cast<char16_t>(getLe16(units.data + k * 2));
            }
            result.emplace_back(ResourceId(std::move(text)), data);
        }
        return result;
    };
    const auto subdirectory = [](uint32_t offsetField) {
        if (!(offsetField & kHighBit)) {
            throw FormatError("its resource tree is damaged");
        }
        return uint64_t{offsetField & ~kHighBit};
    };
    for (const auto& [type, typeField] : entries(0)) {
        for (const auto& [name, nameField] : entries(subdirectory(typeField))) {
            for (const auto& [language, leaf] : entries(subdirectory(nameField))) {
                if ((leaf & kHighBit) || !language.isNumber()) {
                    throw FormatError("its resource tree is damaged");
                }
                check(leaf, kDataEntrySize);
                const ByteView entry = source_.read(base + leaf, kDataEntrySize);
                const uint32_t rva = getLe32(entry.data);
                const uint32_t size = getLe32(entry.data + 4);
                const uint32_t codePage = getLe32(entry.data + 8);
                resources_.put(type, name, language.number,
                               ResourceData{&source_, fileOffsetOf(rva, size), size, codePage});
            }
        }
    }
}

} // namespace pack
