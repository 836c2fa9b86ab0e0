// Icons: an .ico file or an executable's first icon group read and checked, and placed as a tree's first group.
#pragma once

#include "pe/ResourceTree.h"

#include <array>
#include <cstdint>
#include <memory>
#include <set>
#include <string>
#include <vector>

namespace pack {

struct IconSize {
    uint16_t width = 0;
    uint16_t height = 0;
};

// One image of an icon: the entry fields that an .ico file's directory and an icon group share, and where the
// image's bytes are.
struct IconImage {
    // Width, height (0 for 256), colour count, reserved, planes and bits per pixel, as the directories hold them.
    std::array<uint8_t, 8> entry{};
    ResourceData data;

    IconSize size() const;
};

// The images of an .ico file, or of the first icon group of a Windows executable (64-bit or 32-bit), in their
// order; their bytes stay in `source`, which each image holds a share of. Every count, offset and size is checked
// against the source before it is used, and each image must meet the rules of IconRules.h. Raises FormatError
// saying what is wrong.
std::vector<IconImage> readIcon(std::shared_ptr<ByteSource> source);
// The same of a source that its owner keeps alive longer than the images and every tree they are put in.
inline std::vector<IconImage> readIcon(ByteSource& source) { return readIcon(borrowed(source)); }

// The sizes of the first icon group of `resources`, in its order; empty when it has none. Raises FormatError
// when that group, or an image it names, is damaged, as readIcon judges them.
std::vector<IconSize> firstIconGroupSizes(const ResourceTree& resources);

// The sizes a summary names; the others are counted.
constexpr size_t kShownIconSizes = 8;

// "16x16, 32x32, 256x256"; beyond kShownIconSizes, "... and 3 more".
std::string describeIconSizes(const std::vector<IconSize>& sizes);

// The image numbers that the icon groups of a tree name: those of its first group, in any language, and those
// of the others.
struct IconGroupImages {
    std::set<uint16_t> first;
    std::set<uint16_t> others;
};

// Reads every icon group of `resources` once. Raises FormatError when one is damaged.
IconGroupImages readIconGroups(const ResourceTree& resources);

// Puts `images` into `resources` as icon images under numbers that no other icon image there uses and no other
// group names, present or not, and their group as the tree's first icon group: under the name of the group that
// came first, which is removed with the images no other group refers to, else under 1. `groups` are those of
// `resources`, as readIconGroups gives them. The group's directory is a new source that only the tree holds.
// Raises FormatError when the numbers run out.
void placeIconGroup(const std::vector<IconImage>& images, const IconGroupImages& groups, ResourceTree& resources);

} // namespace pack
