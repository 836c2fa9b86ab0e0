// Setup image writing: a launcher's resources edited in memory and the image written out in one sequential pass.
#pragma once

#include "tstrings.h"

#include <windows.h>

#include <cstdint>
#include <map>
#include <utility>
#include <vector>

namespace pack {

// A resource type or name: a number, or a text that matches without regard to case.
struct ResourceId {
    // Implicit, so that types and names are given as the resource functions take them.
    ResourceId(LPCWSTR id);
    explicit ResourceId(WORD value) : number(value) {}
    explicit ResourceId(tstring value) : text(std::move(value)) {}

    bool isNumber() const { return text.empty(); }
    // The order of a resource directory: texts first, compared upper-cased, then numbers in ascending order.
    bool operator<(const ResourceId& other) const;

    WORD number = 0;
    tstring text;
};

// A launcher image held in memory with its resource tree, which can be changed and then written with the
// resources laid out anew. The launcher must be a PE32+ image whose resources fill one section of their own
// that only discardable sections follow; those are moved to make room.
class ResourceImage {
public:
    // `path` names the launcher in messages.
    ResourceImage(std::vector<char> image, const tstring& path);

    ResourceImage(const ResourceImage&) = delete;
    ResourceImage& operator=(const ResourceImage&) = delete;

    // Adds or replaces one resource. The data is not copied: it must stay readable until `write` returns.
    void put(const ResourceId& type, const ResourceId& name, WORD language, const void* data, uint32_t size);
    // Removes one resource, if present.
    void remove(const ResourceId& type, const ResourceId& name, WORD language);

    // Writes the whole image to `file` from its start, with the image checksum in its header. `path` names the
    // file in messages.
    void write(HANDLE file, const tstring& path) const;

private:
    struct Datum {
        const char* data = nullptr;
        uint32_t size = 0;
        uint32_t codePage = 0;
    };
    using Languages = std::map<WORD, Datum>;
    using Names = std::map<ResourceId, Languages>;
    using Types = std::map<ResourceId, Names>;

    void readTree(const tstring& path);
    const char* atRva(uint32_t rva, uint32_t size, const tstring& path) const;

    std::vector<char> image_;
    uint32_t ntOffset_ = 0;
    uint32_t sectionTableOffset_ = 0;
    uint16_t sectionCount_ = 0;
    uint16_t resourceSection_ = 0; // index into the section table
    Types types_;
};

} // namespace pack
