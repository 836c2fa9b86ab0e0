// Resources by type, name and language, as a Windows image's resource directory orders them, and where their bytes are.
#pragma once

#include "bytes/Bytes.h"

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace pack {

// The resource types the packer reads or writes.
constexpr uint16_t kResourceTypeIcon = 3;
constexpr uint16_t kResourceTypeRawData = 10;
constexpr uint16_t kResourceTypeIconGroup = 14;
constexpr uint16_t kResourceTypeVersion = 16;

// A resource type or name: a number, or a text that matches another without regard to ASCII case.
struct ResourceId {
    ResourceId(uint16_t value) : number(value) {}
    ResourceId(std::u16string value) : text(std::move(value)) {}
    ResourceId(std::u16string_view value) : text(value) {}
    ResourceId(const char16_t* value) : text(value) {}

    bool isNumber() const { return text.empty(); }
    // The order of a resource directory: texts first, by code unit with ASCII letters upper-cased, then numbers.
    bool operator<(const ResourceId& other) const;

    uint16_t number = 0;
    std::u16string text;
};

// Where the bytes of one resource are: a range of a source that the resource holds a share of, so that a tree keeps
// alive every byte it will write, whatever becomes of the objects that made its sources.
struct ResourceData {
    std::shared_ptr<ByteSource> source;
    uint64_t offset = 0;
    uint32_t size = 0;
    uint32_t codePage = 0;

    // All of `source`, which holds less than 4 GiB.
    static ResourceData of(std::shared_ptr<ByteSource> source) {
        const auto size = static_cast<uint32_t>(source->size());
        return ResourceData{std::move(source), 0, size, 0};
    }
};

// How many entries of a directory of types or names are named by a text; the others are numbered, and come after.
template <class Directory> size_t countNamed(const Directory& directory) {
    size_t named = 0;
    for (const auto& entry : directory) {
        named += entry.first.isNumber() ? 0 : 1;
    }
    return named;
}

// Resources by type, name and language, each level in the order of a resource directory.
class ResourceTree {
public:
    using Languages = std::map<uint16_t, ResourceData>;
    using Names = std::map<ResourceId, Languages>;
    using Types = std::map<ResourceId, Names>;

    ResourceTree() = default;
    // A tree of `types`, in which no directory is empty.
    explicit ResourceTree(Types types) : types_(std::move(types)) {}

    // Adds or replaces one resource.
    void put(const ResourceId& type, const ResourceId& name, uint16_t language, const ResourceData& data);
    // Removes one resource, if present, and any directory it leaves empty.
    void remove(const ResourceId& type, const ResourceId& name, uint16_t language);

    // Null when absent.
    const ResourceData* find(const ResourceId& type, const ResourceId& name, uint16_t language) const;
    // The languages of one resource, in ascending order; empty when it is absent.
    std::vector<uint16_t> languages(const ResourceId& type, const ResourceId& name) const;
    // The first language of one resource and its data; null when it is absent.
    const Languages::value_type* first(const ResourceId& type, const ResourceId& name) const;

    const Types& types() const { return types_; }

private:
    Types types_;
};

} // namespace pack
