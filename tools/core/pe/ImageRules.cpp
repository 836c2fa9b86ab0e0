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
constexpr uint64_t kMaxResourceAddress = 0xFFFFFFFF;
constexpr uint64_t kMaxImageEnd = 0x7FFFFFFF;
constexpr uint64_t kMaxFileSize = 0xFFFFFFFF;

bool isPowerOfTwo(uint64_t value) { return value != 0 && (value & (value - 1)) == 0; }

// What each data directory holds, as a refusal names it.
constexpr const char* kDirectoryNames[pe::kMaxDirectories] = {
    "export directory",     "import directory",        "resource directory",     "exception directory",
    "certificate table",    "base relocations",        "debug directory",        "architecture directory",
    "global pointer",       "TLS directory",           "load configuration",     "bound import directory",
    "import address table", "delay import directory",  "runtime header",         "reserved directory",
};

// Raises FormatError(rule) unless the directory, a `count` of entries, can state it in 16 bits.
void refuseUncountable(size_t count, const char* rule) { refuseIf(count > kMaxDirectoryEntries, rule); }

[[noreturn]] void refuseTree(const char* rule) {
    throw FormatError(std::string("its resource tree is damaged: ") + rule);
}

void refuseTreeIf(bool broken, const char* rule) {
    if (broken) {
        refuseTree(rule);
    }
}

const char kTreeOutside[] = "its resource tree lies outside the data of its sections";

} // namespace

void checkComplete(uint64_t fileSize, uint64_t needed, const char* whatNeeds) {
    refuseIf(needed > fileSize, "it is incomplete: it has " + std::to_string(fileSize) + " bytes, " + whatNeeds +
                                    " " + std::to_string(needed));
}

const char* const ResourceTreeRules::kOffsetOutside =
    "its resource tree is damaged: an offset lies outside its section";

ResourceTreeRules::ResourceTreeRules(uint64_t treeSize)
    : entriesLeft_(std::min(treeSize / pe::kResourceEntrySize, kMaxResourceEntries)),
      nameUnitsLeft_(std::min(treeSize / 2, kMaxResourceNameUnits)) {}

std::optional<uint64_t> ResourceTreeRules::rootOffset(const SectionHeader* section, uint32_t rootRva) {
    if (rootRva == 0) {
        return std::nullopt;
    }
    refuseIf(!section || rootRva - section->virtualAddress >= section->rawSize, kTreeOutside);
    return rootRva - section->virtualAddress;
}

void ResourceTreeRules::directory(uint32_t offset, uint64_t entries) {
    refuseTreeIf(!visited_.insert(offset).second, "a directory is reached twice");
    refuseTreeIf(entries > entriesLeft_, "it has more entries than its section holds");
    entriesLeft_ -= entries;
}

void ResourceTreeRules::name(uint64_t units) {
    refuseTreeIf(units == 0, "a name is empty");
    refuseTreeIf(units > nameUnitsLeft_, "its names repeat more text than its section holds");
    nameUnitsLeft_ -= units;
}

void ResourceTreeRules::newIdentifier(bool added) {
    refuseTreeIf(!added, "two entries of a directory have the same identifier");
}

uint32_t ResourceTreeRules::subdirectory(uint32_t offsetField) {
    refuseTreeIf(!(offsetField & pe::kResourceHighBit), "an entry of its first two levels is no directory");
    return offsetField & ~pe::kResourceHighBit;
}

void ResourceTreeRules::resource(uint32_t language, uint32_t offsetField) {
    refuseTreeIf((offsetField & pe::kResourceHighBit) || (language & pe::kResourceHighBit),
                 "an entry of its last level is no resource");
}

uint64_t ResourceTreeRules::dataOffset(std::optional<uint64_t> offset) {
    if (!offset) {
        refuseTree("a resource lies outside the data of its sections");
    }
    return *offset;
}

void ResourceTreeRules::dataApart(std::vector<FileRange> data) {
    checkApart(std::move(data), "its resource tree is damaged: the data of two resources overlap");
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
            needed = std::max(needed, section.rawEnd());
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
        refuseIf(byRawPointer[i]->rawPointer < byRawPointer[i - 1]->rawEnd(),
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
        previousEnd = section.end(layout.sectionAlignment);
        refuseIf(previousEnd > layout.sizeOfImage, "a section ends beyond its SizeOfImage");
    }
}

void checkResourceTree(const ResourceTree& tree) {
    const char* const uncountable =
        "one of its resource directories would hold more than 65535 named or numbered entries";
    uint64_t entries = 0;
    uint64_t nameUnits = 0;
    // A directory's entries: their names checked and counted, then their count.
    const auto countDirectory = [&](const auto& directory) {
        for (const auto& entry : directory) {
            const ResourceId& id = entry.first;
            if (!id.isNumber()) {
                nameUnits += id.text.size();
                refuseIf(id.text.size() > kMaxNameUnits, "a resource name would be longer than 65535 characters");
            }
        }
        const size_t named = countNamed(directory);
        refuseUncountable(named, uncountable);
        refuseUncountable(directory.size() - named, uncountable);
        entries += directory.size();
    };
    countDirectory(tree.types());
    for (const auto& [type, names] : tree.types()) {
        countDirectory(names);
        for (const auto& [name, languages] : names) {
            refuseUncountable(languages.size(), uncountable);
            entries += languages.size();
        }
    }
    refuseIf(entries > kMaxResourceEntries, "its resource tree would have " + std::to_string(entries) +
                                                " entries, more than the " + std::to_string(kMaxResourceEntries) +
                                                " a reader takes");
    refuseIf(nameUnits > kMaxResourceNameUnits, "its resource names would have " + std::to_string(nameUnits) +
                                                    " characters, more than the " +
                                                    std::to_string(kMaxResourceNameUnits) + " a reader takes");
}

size_t rewritableResourceSection(const ImageLayout& layout) {
    refuseIf(!layout.is64Bit, "it is a 32-bit image; a launcher is a 64-bit (PE32+) image");
    refuseIf(layout.directories[pe::kDirectorySecurity].size != 0,
             "it is signed, and its signature would not hold for the setup");
    refuseIf(layout.symbolTable != 0, "it carries a symbol table");
    const SectionHeader* resources = layout.resourceSection();
    refuseIf(!resources || resources->virtualAddress != layout.directories[pe::kDirectoryResource].rva,
             "its resources do not fill a section of their own");
    refuseIf(resources->rawSize == 0, "its resource section has no data in the file");
    const uint64_t start = resources->virtualAddress;
    const uint64_t end = resources->end(layout.sectionAlignment);

    refuseIf(layout.entryPoint >= start, "its entry point does not lie before its resources");
    for (uint32_t d = 0; d < layout.directories.size(); ++d) {
        const DataDirectory& directory = layout.directories[d];
        const uint64_t directoryEnd = uint64_t{directory.rva} + directory.size;
        if (d == pe::kDirectoryResource || d == pe::kDirectorySecurity || (directory.rva == 0 && directory.size == 0)) {
            continue;
        }
        if (d == pe::kDirectoryBaseRelocation) {
            refuseIf(directory.rva < end && directoryEnd > start, "its base relocations lie inside its resources");
        } else {
            refuseIf(directoryEnd > start,
                     std::string("its ") + kDirectoryNames[d] + " does not lie before its resources");
        }
    }
    const std::vector<SectionHeader>& sections = layout.sections;
    const size_t index = static_cast<size_t>(resources - sections.data());
    for (size_t i = 0; i < sections.size(); ++i) {
        const SectionHeader& section = sections[i];
        if (i > index) {
            refuseIf(!(section.characteristics & pe::kSectionDiscardable),
                     "a section that is not discardable follows its resources");
            refuseIf(section.characteristics & (pe::kSectionCode | pe::kSectionExecutable),
                     "a section that holds code follows its resources");
        }
        refuseIf(section.rawSize != 0 && i < index && section.rawPointer > resources->rawPointer,
                 "a section before its resources in memory has its data after them in the file");
        refuseIf(section.rawSize != 0 && i > index && section.rawPointer < resources->rawPointer,
                 "a section after its resources in memory has its data before them in the file");
    }
    return index;
}

void checkReferencesBefore(const SectionHeader& resources, const ReferencedExtent& referenced) {
    refuseIf(referenced.debugData > resources.virtualAddress || referenced.debugFileData > resources.rawPointer,
             "the data of a debug entry does not lie before its resources");
    refuseIf(referenced.relocatedPlace > resources.virtualAddress,
             "a base relocation changes its resources or what follows them");
}

void checkResourceAddress(uint64_t resourceEnd) {
    refuseIf(resourceEnd > kMaxResourceAddress, "its resources would not fit a Windows executable");
}

void checkRewrittenSize(uint64_t fileSize, uint64_t resourceSize, uint64_t resourcesEnd) {
    refuseIf(fileSize > kMaxFileSize || resourcesEnd > kMaxImageEnd,
             "it would be too large for a Windows executable (" + std::to_string(resourceSize) +
                 " bytes of resources)");
}

void checkImageEnd(uint64_t imageEnd) {
    refuseIf(imageEnd > kMaxImageEnd, "it would be too large for a Windows executable");
}

} // namespace pack
