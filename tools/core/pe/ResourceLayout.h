// Layout of a resource section: the directory tables, name texts and data entries, then each resource's data.
#pragma once

#include "ResourceTree.h"

#include <cstdint>
#include <vector>

namespace pack {

struct PlacedResource {
    uint64_t offset = 0; // from the start of the section, a multiple of 8
    ResourceData data;
};

struct ResourceSectionLayout {
    // The section's start: directories (root, types, names, languages), the name texts, the data entries.
    std::vector<uint8_t> tables;
    // Every resource's data after the tables, in ascending order of offset.
    std::vector<PlacedResource> data;
    // The bytes the section's content takes, up to the end of the last resource.
    uint64_t size = 0;
};

// Lays out `tree` for a section that starts at the relative virtual address `sectionRva`. Time stamps and
// versions of the directories stay 0, so the same tree always gives the same bytes. Raises FormatError when the
// tree breaks a bound of checkResourceTree (ImageRules.h), or its resources would not fit the 32-bit addresses
// of an image.
ResourceSectionLayout layoutResourceSection(const ResourceTree& tree, uint32_t sectionRva);

} // namespace pack
