// The rules an icon from anyone must meet before its images are copied into a setup, each a FormatError.
#pragma once

#include "bytes/Region.h"
#include "pe/ResourceTree.h"

#include <cstdint>
#include <vector>

namespace pack {

// Each refusal names the rule it breaks; the caller names the file.

// An .ico file's images lie after its directory and inside the file (else the file is incomplete), and no two
// overlap, so that each byte is copied once.
void checkIconFileImages(std::vector<FileRange> images, uint64_t directoryEnd, uint64_t fileSize);

// An icon group names each image once.
void checkIconGroupImages(std::vector<uint16_t> imageNumbers);

// Windows shows an icon image that is a bitmap without its file header, or a PNG file: one whose header chunk
// comes first, gives a width and a height, and whose chunks up to the end chunk lie within the image's bytes. The
// pixels are left to the system that draws them.
void checkIconImageFormat(const ResourceData& image);

} // namespace pack
