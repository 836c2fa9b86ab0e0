// Checking an image's layout against its rules, without integer overflow, before it is read further.
#include "ImageRules.h"

#include "PackError.h"

#include <algorithm>
#include <string>
#include <utility>

namespace pack {

namespace {

constexpr uint32_t kMinFileAlignment = 512;
constexpr uint32_t kMaxFileAlignment = 64 * 1024;

bool isPowerOfTwo(uint64_t value) { return value != 0 && (value & (value - 1)) == 0; }

void refuseIf(bool broken, const std::string& rule) {
    if (broken) {
        throw FormatError(rule);
    }
}

// Raises FormatError(rule) when two of the non-empty `ranges` overlap; an empty range copies nothing.
void refuseOverlap(std::vector<FileRange> ranges, const char* rule) {
    ranges.erase(std::remove_if(ranges.begin(), ranges.end(), [](const FileRange& range) { return range.size == 0; }),
                 ranges.end());
    std::sort(ranges.begin(), ranges.end(),
              [](const FileRange& a, const FileRange& b) { return a.offset < b.offset; });
    for (size_t i = 1; i < ranges.size(); ++i) {
        refuseIf(ranges[i].offset < ranges[i - 1].offset + ranges[i - 1].size, rule);
    }
}

// Where a section ends in memory.
uint64_t virtualEnd(const SectionHeader& section, uint32_t sectionAlignment) {
    return section.virtualAddress + alignUp(std::max(section.virtualSize, section.rawSize), sectionAlignment);
}

} // namespace

void checkComplete(uint64_t fileSize, uint64_t needed, const char* whatNeeds) {
    refuseIf(needed > fileSize, "it is incomplete: it has " + std::to_string(fileSize) + " bytes, " + whatNeeds +
                                    " " + std::to_string(needed));
}

void checkResourceDataApart(std::vector<FileRange> data) {
    refuseOverlap(std::move(data), "its resource tree is damaged: the data of two resources overlap");
}

void checkIconFileImages(std::vector<FileRange> images, uint64_t directoryEnd, uint64_t fileSize) {
    for (const FileRange& image : images) {
        refuseIf(image.offset < directoryEnd, "an image in it overlaps its directory");
        checkComplete(fileSize, image.offset + image.size, "its images need");
    }
    refuseOverlap(std::move(images), "two images in it overlap");
}

void checkIconGroupImages(std::vector<uint16_t> imageNumbers) {
    std::sort(imageNumbers.begin(), imageNumbers.end());
    refuseIf(std::adjacent_find(imageNumbers.begin(), imageNumbers.end()) != imageNumbers.end(),
             "its icon group names an image twice");
}

void checkHeaders(const ImageLayout& layout) {
    refuseIf(!isPowerOfTwo(layout.fileAlignment) || layout.fileAlignment < kMinFileAlignment ||
                 layout.fileAlignment > kMaxFileAlignment,
             "its FileAlignment (" + std::to_string(layout.fileAlignment) +
                 ") is not a power of two from 512 to 65536");
    refuseIf(!isPowerOfTwo(layout.sectionAlignment) || layout.sectionAlignment < layout.fileAlignment,
             "its SectionAlignment (" + std::to_string(layout.sectionAlignment) +
                 ") is not a power of two at least its FileAlignment");
    refuseIf(layout.sectionTableEnd > layout.sizeOfHeaders, "its section table does not lie inside its headers");
    checkComplete(layout.fileSize, layout.sizeOfHeaders);
}

void checkSections(const ImageLayout& layout) {
    const std::vector<SectionHeader>& sections = layout.sections;
    refuseIf(sections.empty(), "it has no sections");
    uint64_t needed = layout.sizeOfHeaders;
    for (const SectionHeader& section : sections) {
        if (section.rawSize != 0) {
            needed = std::max(needed, uint64_t{section.rawPointer} + section.rawSize);
        }
    }
    checkComplete(layout.fileSize, needed);

    std::vector<const SectionHeader*> byRawPointer;
    for (const SectionHeader& section : sections) {
        if (section.rawSize != 0) {
            refuseIf(section.rawPointer < layout.sizeOfHeaders, "a section's raw data starts inside its headers");
            byRawPointer.push_back(&section);
        }
    }
    std::sort(byRawPointer.begin(), byRawPointer.end(),
              [](const SectionHeader* a, const SectionHeader* b) { return a->rawPointer < b->rawPointer; });
    for (size_t i = 1; i < byRawPointer.size(); ++i) {
        refuseIf(byRawPointer[i]->rawPointer < uint64_t{byRawPointer[i - 1]->rawPointer} + byRawPointer[i - 1]->rawSize,
                 "the raw data of two sections overlap");
    }

    uint64_t previousEnd = alignUp(layout.sizeOfHeaders, layout.sectionAlignment);
    for (size_t i = 0; i < sections.size(); ++i) {
        const SectionHeader& section = sections[i];
        refuseIf(section.virtualAddress % layout.sectionAlignment != 0,
                 "a section does not start at a multiple of its SectionAlignment");
        // An empty section ends where it starts; the next one still starts after it.
        refuseIf(section.virtualAddress < previousEnd ||
                     (i > 0 && section.virtualAddress <= sections[i - 1].virtualAddress),
                 "the virtual ranges of its sections overlap or are out of order");
        previousEnd = virtualEnd(section, layout.sectionAlignment);
        refuseIf(previousEnd > layout.sizeOfImage, "a section ends beyond its SizeOfImage");
    }
}

size_t rewritableResourceSection(const ImageLayout& layout) {
    refuseIf(layout.directories[pe::kDirectorySecurity].size != 0,
             "it is signed, and its signature would not hold for the setup");
    refuseIf(layout.symbolTable != 0, "it carries a symbol table");
    const std::vector<SectionHeader>& sections = layout.sections;
    const uint32_t resourceRva = layout.directories[pe::kDirectoryResource].rva;
    const auto found = std::find_if(sections.begin(), sections.end(), [resourceRva](const SectionHeader& section) {
        return section.virtualAddress == resourceRva;
    });
    refuseIf(resourceRva == 0 || found == sections.end(), "its resources do not fill a section of their own");
    refuseIf(found->rawSize == 0, "its resource section has no data in the file");
    refuseIf(layout.directories.size() > pe::kDirectoryDebug && layout.directories[pe::kDirectoryDebug].size != 0 &&
                 layout.directories[pe::kDirectoryDebug].rva >= resourceRva,
             "its debug directory does not lie before its resources");
    const size_t index = static_cast<size_t>(found - sections.begin());
    for (size_t i = 0; i < sections.size(); ++i) {
        const SectionHeader& section = sections[i];
        if (i > index) {
            refuseIf(!(section.characteristics & pe::kSectionDiscardable),
                     "a section that is not discardable follows its resources");
        }
        refuseIf(section.rawSize != 0 && i < index && section.rawPointer > found->rawPointer,
                 "a section before its resources in memory has its data after them in the file");
        refuseIf(section.rawSize != 0 && i > index && section.rawPointer < found->rawPointer,
                 "a section after its resources in memory has its data before them in the file");
    }
    return index;
}

} // namespace pack
