// The rules an image or icon from anyone must meet before it is read further or rewritten, each a FormatError.
#pragma once

#include "PeImage.h"

#include <cstddef>
#include <cstdint>
#include <vector>

namespace pack {

// Each refusal names the rule it breaks; the caller names the file. The packer holds every image it writes to the
// same rules before writing a byte of it (see ImageWriter.h), so that what it writes, it reads.

// A file that ends before `needed` bytes, what `whatNeeds` ("its headers need") describes, is incomplete: an
// interrupted download, most likely.
void checkComplete(uint64_t fileSize, uint64_t needed, const char* whatNeeds = "its headers need");

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
// into the tree stay within what the section can hold and within these bounds, whatever the section's size. No
// name is empty, and no two entries of a directory have the same identifier (texts alike but for ASCII case are
// the same), so that nothing is lost or renamed when the tree is written anew. A directory states its named and
// its numbered entries in 16 bits each, and a name its length.
constexpr uint64_t kMaxResourceEntries = uint64_t{1} << 17;
constexpr uint64_t kMaxResourceNameUnits = uint64_t{1} << 20;
constexpr size_t kMaxDirectoryEntries = 0xFFFF;
constexpr size_t kMaxNameUnits = 0xFFFF;

// The same bounds for a tree about to be written, so that every image the packer writes reads back: its entries
// of all three levels, the name texts of every entry, each directory's counts and each name's length.
void checkResourceTree(const ResourceTree& tree);

// A range of a file that a rewritten image or a setup's icon copies.
struct FileRange {
    uint64_t offset = 0;
    uint64_t size = 0;
};

// Every resource's data lies inside one section's raw data, and the data of no two resources overlap: each byte
// is copied once, so a rewritten image grows only by what is added to it.
void checkResourceDataApart(std::vector<FileRange> data);

// An icon file's images lie after its directory and inside the file, and no two overlap; an icon group names
// each image once. Both for the reason above.
void checkIconFileImages(std::vector<FileRange> images, uint64_t directoryEnd, uint64_t fileSize);
void checkIconGroupImages(std::vector<uint16_t> imageNumbers);

// The index of the section the packer can lay out anew, the resource section (see ImageLayout), in an image
// whose every part that the loader or the code reaches by address stays where it is:
// - the image is PE32+, is not signed and has no symbol table;
// - the resource section starts at the resource directory and has raw data;
// - the entry point and every data directory but the resources, the certificate table and the base relocations
//   lie before it, and the base relocations outside it;
// - the sections before it have their raw data before it; the sections after it are discardable, hold no code
//   and have their raw data after it, so that they move whole.
// Raises FormatError otherwise.
size_t rewritableResourceSection(const ImageLayout& layout);

// For such an image, once the above holds: the data of every debug entry, in memory and in the file, lies
// before the resource section, and the base relocations change only places before it.
void checkReferencesBefore(const SectionHeader& resources, const ReferencedExtent& referenced);

} // namespace pack
