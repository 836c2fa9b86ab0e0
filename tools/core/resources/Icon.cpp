// Icon directories: 16-byte entries with file offsets (.ico), 14-byte entries with image numbers (groups).
#include "Icon.h"

#include "IconRules.h"
#include "PackError.h"
#include "bytes/Region.h"
#include "pe/ImageRules.h"
#include "pe/PeImage.h"

#include <algorithm>
#include <memory>
#include <set>
#include <utility>

namespace pack {

namespace {

constexpr uint64_t kDirectoryHeaderSize = 6;
constexpr uint64_t kFileEntrySize = 16;
constexpr uint64_t kGroupEntrySize = 14;
constexpr uint16_t kIconType = 1;
constexpr uint16_t kGroupLanguage = 0;

struct GroupEntry {
    std::array<uint8_t, 8> entry{};
    uint16_t id = 0;
};

std::array<uint8_t, 8> entryFields(const uint8_t* at) {
    std::array<uint8_t, 8> fields{};
    std::copy(at, at + fields.size(), fields.begin());
    return fields;
}

// A directory's header, checked; returns its entry count.
uint16_t directoryCount(const Region& directory) {
    if (directory.size() < kDirectoryHeaderSize || directory.le16(0) != 0 || directory.le16(2) != kIconType) {
        directory.refuse();
    }
    return directory.le16(4);
}

// The entries of a group directory; only the bytes they take are read.
std::vector<GroupEntry> readGroupDirectory(const ResourceData& group) {
    const Region directory(*group.source, group.offset, group.size, "its icon group is damaged");
    const uint16_t count = directoryCount(directory);
    const std::vector<uint8_t> bytes = directory.copy(kDirectoryHeaderSize, count * kGroupEntrySize);
    std::vector<GroupEntry> entries;
    std::vector<uint16_t> numbers;
    for (uint16_t i = 0; i < count; ++i) {
        const uint8_t* at = bytes.data() + i * kGroupEntrySize;
        entries.push_back(GroupEntry{entryFields(at), getLe16(at + 12)});
        numbers.push_back(entries.back().id);
    }
    checkIconGroupImages(std::move(numbers));
    return entries;
}

// The first icon group of a tree: its name and its first language's data; null data when there is none.
struct FirstGroup {
    const ResourceId* name = nullptr;
    uint16_t language = 0;
    const ResourceData* data = nullptr;
};

FirstGroup firstGroup(const ResourceTree& resources) {
    const auto groups = resources.types().find(kResourceTypeIconGroup);
    if (groups == resources.types().end() || groups->second.empty()) {
        return FirstGroup{};
    }
    const ResourceId& name = groups->second.begin()->first;
    const auto* first = resources.first(kResourceTypeIconGroup, name);
    return FirstGroup{&name, first->first, &first->second};
}

std::vector<IconImage> readIconFile(const std::shared_ptr<ByteSource>& source, const Region& file) {
    refuseIf(file.size() == 0, "it is empty");
    const uint16_t count = directoryCount(file);
    refuseIf(count == 0, "it holds no images");
    const uint64_t directoryEnd = kDirectoryHeaderSize + count * kFileEntrySize;
    checkComplete(file.size(), directoryEnd, "its directory needs");
    const std::vector<uint8_t> directory = file.copy(kDirectoryHeaderSize, count * kFileEntrySize);
    std::vector<IconImage> images;
    std::vector<FileRange> ranges;
    for (uint16_t i = 0; i < count; ++i) {
        const uint8_t* at = directory.data() + i * kFileEntrySize;
        const uint32_t size = getLe32(at + 8);
        const uint32_t offset = getLe32(at + 12);
        images.push_back(IconImage{entryFields(at), ResourceData{source, offset, size, 0}});
        ranges.push_back(FileRange{offset, size});
    }
    checkIconFileImages(std::move(ranges), directoryEnd, file.size());
    for (const IconImage& image : images) {
        checkIconImageFormat(image.data);
    }
    return images;
}

// The images of a tree's first icon group, each in the group's language where it has that one.
std::vector<IconImage> readGroupImages(const ResourceTree& resources, const FirstGroup& group) {
    std::vector<IconImage> images;
    for (const GroupEntry& entry : readGroupDirectory(*group.data)) {
        const std::vector<uint16_t> languages = resources.languages(kResourceTypeIcon, entry.id);
        refuseIf(languages.empty(), "its icon group names an image it does not carry");
        const bool groupLanguage = std::find(languages.begin(), languages.end(), group.language) != languages.end();
        const ResourceData* data =
            resources.find(kResourceTypeIcon, entry.id, groupLanguage ? group.language : languages.front());
        images.push_back(IconImage{entry.entry, *data});
        checkIconImageFormat(images.back().data);
    }
    refuseIf(images.empty(), "its icon group holds no images");
    return images;
}

std::vector<IconImage> readExecutableIcon(std::shared_ptr<ByteSource> source) {
    const PeImage image(std::move(source));
    const FirstGroup group = firstGroup(image.resources());
    refuseIf(!group.data, "it carries no icon");
    return readGroupImages(image.resources(), group);
}

} // namespace

IconSize IconImage::size() const {
    const auto pixels = [](uint8_t field) { return field == 0 ? uint16_t{256} : uint16_t{field}; };
    return IconSize{pixels(entry[0]), pixels(entry[1])};
}

std::vector<IconImage> readIcon(std::shared_ptr<ByteSource> source) {
    const Region file(*source, 0, source->size(), "it is neither an icon file nor a Windows executable");
    if (file.size() >= 2 && file.le16(0) == pe::kDosSignature) {
        return readExecutableIcon(std::move(source));
    }
    return readIconFile(source, file);
}

std::vector<IconSize> firstIconGroupSizes(const ResourceTree& resources) {
    std::vector<IconSize> sizes;
    const FirstGroup group = firstGroup(resources);
    if (group.data) {
        for (const IconImage& image : readGroupImages(resources, group)) {
            sizes.push_back(image.size());
        }
    }
    return sizes;
}

std::string describeIconSizes(const std::vector<IconSize>& sizes) {
    std::string text;
    const size_t shown = std::min(sizes.size(), kShownIconSizes);
    for (size_t i = 0; i < shown; ++i) {
        text += (i == 0 ? "" : ", ") + std::to_string(sizes[i].width) + "x" + std::to_string(sizes[i].height);
    }
    if (sizes.size() > shown) {
        text += " and " + std::to_string(sizes.size() - shown) + " more";
    }
    return text;
}

IconGroupImages readIconGroups(const ResourceTree& resources) {
    IconGroupImages images;
    const auto groups = resources.types().find(kResourceTypeIconGroup);
    if (groups != resources.types().end()) {
        bool first = true;
        for (const auto& [groupName, languages] : groups->second) {
            for (const auto& [language, data] : languages) {
                for (const GroupEntry& entry : readGroupDirectory(data)) {
                    (first ? images.first : images.others).insert(entry.id);
                }
            }
            first = false;
        }
    }
    return images;
}

void placeIconGroup(const std::vector<IconImage>& images, const IconGroupImages& groups, ResourceTree& resources) {
    const FirstGroup first = firstGroup(resources);
    const ResourceId name = first.name ? *first.name : ResourceId(uint16_t{1});
    for (const uint16_t language : resources.languages(kResourceTypeIconGroup, name)) {
        resources.remove(kResourceTypeIconGroup, name, language);
    }
    for (const uint16_t id : groups.first) {
        if (groups.others.count(id) == 0) {
            for (const uint16_t language : resources.languages(kResourceTypeIcon, id)) {
                resources.remove(kResourceTypeIcon, id, language);
            }
        }
    }

    // A number another group names stays its own, even when that group's image is missing.
    std::set<uint16_t> usedNumbers = groups.others;
    const auto icons = resources.types().find(kResourceTypeIcon);
    if (icons != resources.types().end()) {
        for (const auto& entry : icons->second) {
            if (entry.first.isNumber()) {
                usedNumbers.insert(entry.first.number);
            }
        }
    }
    std::vector<uint8_t> directory(kDirectoryHeaderSize + images.size() * kGroupEntrySize, 0);
    putLe16(directory.data() + 2, kIconType);
    putLe16(directory.data() + 4, static_cast<uint16_t>(images.size()));
    uint32_t next = 1;
    for (size_t i = 0; i < images.size(); ++i) {
        while (next <= 0xFFFF && usedNumbers.count(static_cast<uint16_t>(next)) != 0) {
            ++next;
        }
        refuseIf(next > 0xFFFF, "its icon images would need more numbers than there are");
        const uint16_t id = static_cast<uint16_t>(next++);
        uint8_t* at = directory.data() + kDirectoryHeaderSize + i * kGroupEntrySize;
        std::copy(images[i].entry.begin(), images[i].entry.end(), at);
        putLe32(at + 8, images[i].data.size);
        putLe16(at + 12, id);
        resources.put(kResourceTypeIcon, id, kGroupLanguage, images[i].data);
    }
    resources.put(kResourceTypeIconGroup, name, kGroupLanguage,
                  ResourceData::of(std::make_shared<BufferSource>(std::move(directory))));
}

} // namespace pack
