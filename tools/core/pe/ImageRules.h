// The rules an image from anyone must meet before it is read further or rewritten, each a FormatError.
#pragma once

#include "PeImage.h"
#include "bytes/Region.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <unordered_set>
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

// The rules above while a tree is read, each a FormatError "its resource tree is damaged: <rule>": the reader
// tells this of every directory, entry, name and resource as it meets them.
class ResourceTreeRules {
public:
    // For a tree of `treeSize` bytes, from its root to the end of its section's raw data.
    explicit ResourceTreeRules(uint64_t treeSize);

    // The root lies inside the raw data of `section`, the one that holds it (null when none does), unless there
    // is no tree (`rootRva` 0). Returns the root's offset in that raw data; raises FormatError otherwise.
    static std::optional<uint64_t> rootOffset(const SectionHeader* section, uint32_t rootRva);
    // What a region of the tree raises when an offset leads out of the section.
    static const char* const kOffsetOutside;

    // The directory at `offset`, of `entries` entries: reached for the first time, and within the bound.
    void directory(uint32_t offset, uint64_t entries);
    // A name of `units` code units, at each of its uses: not empty, and within the bound.
    void name(uint64_t units);
    // An identifier that was `added` to its directory, not there before.
    static void newIdentifier(bool added);
    // The offset of the directory that an entry of the first two levels leads to.
    static uint32_t subdirectory(uint32_t offsetField);
    // An entry of the last level: a 16-bit language, and the offset of a resource rather than of a directory.
    static void resource(uint32_t language, uint32_t offsetField);
    // The file offset of a resource's data, which lie inside one section's raw data.
    static uint64_t dataOffset(std::optional<uint64_t> offset);
    // Once the tree is read: the data of no two resources overlap, so that each byte is copied once and a rewritten
    // image grows only by what is added to it.
    static void dataApart(std::vector<FileRange> data);

private:
    uint64_t entriesLeft_;
    uint64_t nameUnitsLeft_;
    std::unordered_set<uint32_t> visited_;
};

// The same bounds for a tree about to be written, so that every image the packer writes reads back: its entries
// of all three levels, the name texts of every entry, each directory's counts and each name's length.
void checkResourceTree(const ResourceTree& tree);

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

// What an image's fields can state, for a resource section about to be laid out or an image about to be written:
// - every resource's data ends below 4 GiB in memory (`resourceEnd`, an address);
// - the file is smaller than 4 GiB, and the resource section (`resourceSize` bytes, ending at `resourcesEnd`) and
//   the image (ending at `imageEnd`) end below 2 GiB in memory.
void checkResourceAddress(uint64_t resourceEnd);
void checkRewrittenSize(uint64_t fileSize, uint64_t resourceSize, uint64_t resourcesEnd);
void checkImageEnd(uint64_t imageEnd);

} // namespace pack
