// The version block of a packed setup: the product's version and texts as a binary VS_VERSIONINFO resource.
#pragma once

#include "tstrings.h"

#include <windows.h>

#include <array>
#include <cstdint>
#include <utility>
#include <vector>

namespace pack {

// Four 16-bit fields, most significant first: 1.2.3.4 is {1, 2, 3, 4}.
using FixedVersion = std::array<uint16_t, 4>;

// The leading fields of a dotted version text, at most four, missing ones 0 ("1.2" is 1.2.0.0). Reading stops
// at the first field that is not a plain decimal number up to 65535, so "2.0-beta" is 2.0.0.0.
FixedVersion parseFixedVersion(const tstring& text);

struct VersionInfo {
    FixedVersion version{}; // both the file and the product version
    WORD language = 0;      // of the string table and the translation; the code page is always UTF-16 (1200)
    std::vector<std::pair<tstring, tstring>> strings; // name and value, in the order they are written
};

// VS_VERSIONINFO with the fixed version of an application, one string table and its translation.
std::vector<char> buildVersionResource(const VersionInfo& info);

} // namespace pack
