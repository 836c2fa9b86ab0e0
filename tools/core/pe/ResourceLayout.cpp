// Laying out a resource section: where each directory, name, data entry and datum goes, and the table bytes.
#include "ResourceLayout.h"

#include "ImageRules.h"
#include "PeImage.h"

#include <string>

namespace pack {

namespace {

constexpr uint64_t kDatumAlignment = 8;

size_t textBytes(const ResourceId& id) { return id.isNumber() ? 0 : 2 + id.text.size() * 2; }

} // namespace

ResourceSectionLayout layoutResourceSection(const ResourceTree& tree, uint32_t sectionRva) {
    checkResourceTree(tree);
    const ResourceTree::Types& types = tree.types();
    size_t nameCount = 0;
    size_t leafCount = 0;
    size_t allTextBytes = 0;
    for (const auto& [type, names] : types) {
        allTextBytes += textBytes(type);
        nameCount += names.size();
        for (const auto& [name, languages] : names) {
            allTextBytes += textBytes(name);
            leafCount += languages.size();
        }
    }
    const size_t directoryCount = 1 + types.size() + nameCount;
    const size_t entryCount = types.size() + nameCount + leafCount;
    const size_t directoriesSize = directoryCount * pe::kResourceDirectorySize + entryCount * pe::kResourceEntrySize;
    const size_t dataEntriesOffset = alignUp(directoriesSize + allTextBytes, kDatumAlignment);

    ResourceSectionLayout layout;
    layout.tables.assign(dataEntriesOffset + leafCount * pe::kResourceDataEntrySize, 0);
    uint8_t* const tables = layout.tables.data();
    size_t nextDirectory = 0;
    size_t nextText = directoriesSize;
    size_t nextDataEntry = dataEntriesOffset;
    uint64_t nextDatum = layout.tables.size();

    // Reserves a directory of `named` entries followed by `numbered` ones; returns where its first entry goes.
    const auto placeDirectory = [&](size_t named, size_t numbered, size_t* at) {
        *at = nextDirectory;
        putLe16(tables + nextDirectory + 12, static_cast<uint16_t>(named));
        putLe16(tables + nextDirectory + 14, static_cast<uint16_t>(numbered));
        nextDirectory += pe::kResourceDirectorySize + (named + numbered) * pe::kResourceEntrySize;
        return *at + pe::kResourceDirectorySize;
    };
    const auto writeEntry = [&](size_t at, const ResourceId& id, uint32_t offsetField) {
        if (id.isNumber()) {
            putLe32(tables + at, id.number);
        } else {
            putLe32(tables + at, static_cast<uint32_t>(nextText) | pe::kResourceHighBit);
            putLe16(tables + nextText, static_cast<uint16_t>(id.text.size()));
            for (size_t k = 0; k < id.text.size(); ++k) {
                putLe16(tables + nextText + 2 + k * 2, id.text[k]);
            }
            nextText += textBytes(id);
        }
        putLe32(tables + at + 4, offsetField);
    };

    size_t root = 0;
    const size_t rootEntries = placeDirectory(countNamed(types), types.size() - countNamed(types), &root);
    // The type directories follow the root, so that all of them come before any name directory.
    std::vector<size_t> typeEntries;
    std::vector<size_t> typeDirectories;
    for (const auto& [type, names] : types) {
        size_t at = 0;
        typeEntries.push_back(placeDirectory(countNamed(names), names.size() - countNamed(names), &at));
        typeDirectories.push_back(at);
    }
    size_t typeIndex = 0;
    for (const auto& [type, names] : types) {
        writeEntry(rootEntries + typeIndex * pe::kResourceEntrySize, type,
                   static_cast<uint32_t>(typeDirectories[typeIndex]) | pe::kResourceHighBit);
        size_t nameIndex = 0;
        for (const auto& [name, languages] : names) {
            size_t nameDirectory = 0;
            const size_t languageEntries = placeDirectory(0, languages.size(), &nameDirectory);
            writeEntry(typeEntries[typeIndex] + nameIndex * pe::kResourceEntrySize, name,
                       static_cast<uint32_t>(nameDirectory) | pe::kResourceHighBit);
            size_t languageIndex = 0;
            for (const auto& [language, data] : languages) {
                writeEntry(languageEntries + languageIndex * pe::kResourceEntrySize, ResourceId(language),
                           static_cast<uint32_t>(nextDataEntry));
                nextDatum = alignUp(nextDatum, kDatumAlignment);
                checkResourceAddress(sectionRva + nextDatum + data.size);
                putLe32(tables + nextDataEntry, static_cast<uint32_t>(sectionRva + nextDatum));
                putLe32(tables + nextDataEntry + 4, data.size);
                putLe32(tables + nextDataEntry + 8, data.codePage);
                nextDataEntry += pe::kResourceDataEntrySize;
                layout.data.push_back(PlacedResource{nextDatum, data});
                nextDatum += data.size;
                ++languageIndex;
            }
            ++nameIndex;
        }
        ++typeIndex;
    }
    layout.size = nextDatum;
    return layout;
}

} // namespace pack
