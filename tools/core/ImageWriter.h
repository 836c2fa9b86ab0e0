// Writing an image with a new resource section, front to back in one pass, with its checksum.
#pragma once

#include "Bytes.h"
#include "PeImage.h"

namespace pack {

// Writes `image` to `sink` with `resources` in place of its resource section: the sections after it move to
// make room, the headers follow, and the checksum field, written as 0, is patched last. Raises FormatError when
// the image cannot be rewritten (see PeImage::rewritableResourceSection) or would grow too large, and whatever
// the sources and the sink raise.
void writeImage(const PeImage& image, const ResourceTree& resources, ByteSink& sink);

} // namespace pack
