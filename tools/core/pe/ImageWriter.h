// Writing an image with a new resource section, front to back in one pass, with its checksum.
#pragma once

#include "PeImage.h"
#include "bytes/Bytes.h"

namespace pack {

// Writes `image` to `sink` with `resources` in place of its resource section: the sections after it move to
// make room, the headers follow, and the checksum field, written as 0, is patched last. Before anything is
// written, the new tree and layout are held to the rules of ImageRules.h that every reader checks. Raises
// FormatError naming the rule when the image cannot be rewritten (see PeImage::rewritableResourceSection) or the
// result would break one, and whatever the sources and the sink raise.
void writeImage(const PeImage& image, const ResourceTree& resources, ByteSink& sink);

} // namespace pack
