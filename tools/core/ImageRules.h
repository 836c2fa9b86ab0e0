// The rules an image from anyone must meet before its resources are read or it is rewritten, in one place. Each
// refusal is a FormatError that names the rule; the caller names the file.
#pragma once

#include "PeImage.h"

#include <cstddef>
#include <cstdint>

namespace pack {

// A file that ends before `needed` bytes, the end of what its headers describe, is incomplete: an interrupted
// download, most likely.
void checkComplete(uint64_t fileSize, uint64_t needed);

// The headers, before the section table is read:
// - FileAlignment is a power of two from 512 to 64 KiB, SectionAlignment a power of two no smaller;
// - the optional header and the section table lie inside the headers (SizeOfHeaders), and those inside the file
//   (else the file is incomplete).
void checkHeaders(const ImageLayout& layout);

// The sections, before anything else is read:
// - every section's raw data lies inside the file (else the file is incomplete) and starts at or after the end
//   of the headers, and no two sections' raw data overlap;
// - every section starts at a multiple of SectionAlignment, after the headers and after the end of the section
//   before it, and ends inside the image (SizeOfImage): virtual ranges do not overlap.
void checkSections(const ImageLayout& layout);

// What a resource tree may hold: every directory is reached once, and the entries and the name texts copied
// into the tree stay within what the section can hold and within these bounds, whatever the section's size.
constexpr uint64_t kMaxResourceEntries = uint64_t{1} << 17;
constexpr uint64_t kMaxResourceNameUnits = uint64_t{1} << 20;

// The index of the section the packer can lay out anew: the one that starts at the resource directory and has
// raw data; the image is not signed and has no symbol table; the sections before it have their raw data before
// it, and the sections after it are discardable with their raw data after it. Raises FormatError otherwise.
size_t rewritableResourceSection(const ImageLayout& layout);

// The entry counts a resource directory stores in 16 bits.
constexpr size_t kMaxDirectoryEntries = 0xFFFF;

} // namespace pack
