// The version block of a packed setup: the product's version and texts as VS_VERSIONINFO, and read back.
#pragma once

#include "bytes/Bytes.h"
#include "pe/ResourceTree.h"

#include <array>
#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace pack {

// Four 16-bit fields, most significant first: 1.2.3.4 is {1, 2, 3, 4}.
using FixedVersion = std::array<uint16_t, 4>;

// The leading fields of a dotted version text, at most four, missing ones 0 ("1.2" is 1.2.0.0). Reading stops
// at the first field that is not a plain decimal number up to 65535, so "2.0-beta" is 2.0.0.0.
FixedVersion parseFixedVersion(const std::string& text);

// A version block states its length in 16 bits; what lies beyond is never read.
constexpr uint32_t kMaxVersionBlock = 0xFFFF;

struct VersionInfo {
    FixedVersion version{}; // both the file and the product version
    uint16_t language = 0;  // of the string table and the translation; the code page is always UTF-16 (1200)
    std::vector<std::pair<std::u16string, std::u16string>> strings; // name and value, in the order written
};

// VS_VERSIONINFO with the fixed version of an application, one string table and its translation. Raises Error
// when a block would exceed the 64 KiB its length field can state.
std::vector<uint8_t> buildVersionBlock(const VersionInfo& info);

// Names of version texts compare as Windows' version functions compare them: ignoring the case of ASCII letters.
struct VersionNameLess {
    bool operator()(const std::u16string& first, const std::u16string& second) const;
};
using VersionStrings = std::map<std::u16string, std::u16string, VersionNameLess>;

// The texts of the first string table of a VS_VERSIONINFO block, by name; a name given twice, in any case, keeps
// its first spelling and text, the one Windows finds. Empty when the block has no table. Every byte is read through
// a Region; raises FormatError when the block is damaged.
VersionStrings readVersionStrings(ByteView block);
// The same of a version resource, of which no more is read than a block's length can state.
VersionStrings readVersionStrings(const ResourceData& resource);

} // namespace pack
