// Writing a shaped launcher: headers, a code section, a resource tree laid out in one pass, an optional tail.
#include "ShapedLauncher.h"

#include "bytes/Bytes.h"

namespace fuzz {

namespace {

using pack::memory::Bytes;

constexpr uint32_t kHeadersSize = 0x400;
constexpr uint32_t kFileAlignment = 0x200;
constexpr uint32_t kSectionAlignment = 0x1000;
constexpr uint32_t kNtHeaders = 0x40;
constexpr uint32_t kOptionalHeader = kNtHeaders + 4 + 20;
constexpr uint32_t kOptionalHeaderSize = 240;
constexpr uint32_t kSectionTable = kOptionalHeader + kOptionalHeaderSize;
constexpr uint32_t kCodeRva = 0x1000;
constexpr uint32_t kCodeSize = 0x400;
constexpr uint32_t kResourcesRva = 0x2000;
constexpr uint32_t kTailSize = 0x400;
constexpr uint32_t kHigh = 0x80000000u;
// Where the parts lie within the code or the tail section, and their sizes.
constexpr uint32_t kDirectoryAt[] = {0x100, 0x140, 0x180, 0x1C0};
constexpr uint32_t kDirectorySize = 0x40;
constexpr uint32_t kDebugAt = 0x300;
constexpr uint32_t kDebugEntrySize = 28;
constexpr uint32_t kDebugDataAt = 0x340;
constexpr uint32_t kDebugDataSize = 0x20;
// Inside the resource section, which holds at least a root directory and the version block's entries.
constexpr uint32_t kInResources = 0x10;
constexpr uint32_t kDirectoryInResourcesSize = 8;

uint32_t idField(const ShapeId& id, const std::vector<uint32_t>& textAt) {
    return id.isText ? kHigh | textAt[id.text] : id.number;
}

template <class Entries, class Id> void putDirectoryHeader(uint8_t* at, const Entries& entries, Id&& idOf) {
    uint16_t named = 0;
    for (const auto& entry : entries) {
        named += idOf(entry).isText ? 1 : 0;
    }
    pack::putLe16(at + 12, named);
    pack::putLe16(at + 14, static_cast<uint16_t>(entries.size() - named));
}

// Directories breadth first (root, types, names), the texts, the data entries, then the data, each on 8 bytes.
Bytes resourceSection(const LauncherShape& shape, uint32_t rva) {
    size_t directories = 16 + 8 * shape.types.size();
    for (const ShapeType& type : shape.types) {
        directories += 16 + 8 * type.names.size();
        for (const ShapeName& name : type.names) {
            directories += 16 + 8 * name.data.size();
        }
    }
    std::vector<uint32_t> textAt;
    size_t at = directories;
    for (const std::u16string& text : shape.texts) {
        textAt.push_back(static_cast<uint32_t>(at));
        at += 2 + 2 * text.size();
    }
    const size_t entriesAt = pack::alignUp(at, 8);
    at = entriesAt + 16 * shape.data.size();
    std::vector<size_t> datumAt;
    for (const Bytes& datum : shape.data) {
        at = pack::alignUp(at, 8);
        datumAt.push_back(at);
        at += datum.size();
    }
    Bytes section(at);
    uint8_t* const out = section.data();

    const auto typeId = [](const ShapeType& type) { return type.id; };
    const auto nameId = [](const ShapeName& name) { return name.id; };
    putDirectoryHeader(out, shape.types, typeId);
    size_t next = 16 + 8 * shape.types.size();
    std::vector<size_t> typeDirectories;
    for (size_t i = 0; i < shape.types.size(); ++i) {
        typeDirectories.push_back(next);
        pack::putLe32(out + 16 + 8 * i, idField(shape.types[i].id, textAt));
        pack::putLe32(out + 16 + 8 * i + 4, kHigh | static_cast<uint32_t>(next));
        putDirectoryHeader(out + next, shape.types[i].names, nameId);
        next += 16 + 8 * shape.types[i].names.size();
    }
    for (size_t i = 0; i < shape.types.size(); ++i) {
        const std::vector<ShapeName>& names = shape.types[i].names;
        for (size_t j = 0; j < names.size(); ++j) {
            uint8_t* const entry = out + typeDirectories[i] + 16 + 8 * j;
            pack::putLe32(entry, idField(names[j].id, textAt));
            pack::putLe32(entry + 4, kHigh | static_cast<uint32_t>(next));
            pack::putLe16(out + next + 14, static_cast<uint16_t>(names[j].data.size()));
            for (size_t k = 0; k < names[j].data.size(); ++k) {
                pack::putLe32(out + next + 16 + 8 * k, static_cast<uint32_t>(k));
                pack::putLe32(out + next + 16 + 8 * k + 4, static_cast<uint32_t>(entriesAt + 16 * names[j].data[k]));
            }
            next += 16 + 8 * names[j].data.size();
        }
    }
    for (size_t t = 0; t < shape.texts.size(); ++t) {
        pack::putLe16(out + textAt[t], static_cast<uint16_t>(shape.texts[t].size()));
        for (size_t k = 0; k < shape.texts[t].size(); ++k) {
            pack::putLe16(out + textAt[t] + 2 + 2 * k, shape.texts[t][k]);
        }
    }
    for (size_t d = 0; d < shape.data.size(); ++d) {
        pack::putLe32(out + entriesAt + 16 * d, static_cast<uint32_t>(rva + datumAt[d]));
        pack::putLe32(out + entriesAt + 16 * d + 4, static_cast<uint32_t>(shape.data[d].size()));
        std::copy(shape.data[d].begin(), shape.data[d].end(), out + datumAt[d]);
    }
    return section;
}

Bytes patterned(size_t size, uint8_t step) {
    Bytes bytes(size);
    for (size_t i = 0; i < size; ++i) {
        bytes[i] = static_cast<uint8_t>(i * step + 1);
    }
    return bytes;
}

void putSection(Bytes& image, size_t index, const char* name, uint32_t virtualSize, uint32_t rva, uint32_t rawSize,
                uint32_t rawPointer, uint32_t characteristics) {
    uint8_t* const at = image.data() + kSectionTable + index * 40;
    std::copy(name, name + 8, at);
    pack::putLe32(at + 8, virtualSize);
    pack::putLe32(at + 12, rva);
    pack::putLe32(at + 16, rawSize);
    pack::putLe32(at + 20, rawPointer);
    pack::putLe32(at + 36, characteristics);
}

} // namespace

Bytes shapedLauncher(const LauncherShape& shape) {
    const Bytes resources = resourceSection(shape, kResourcesRva);
    const uint32_t resourcesSize = static_cast<uint32_t>(resources.size());
    const uint32_t resourcesRaw = static_cast<uint32_t>(pack::alignUp(resourcesSize, kFileAlignment));
    const uint32_t tailRva = static_cast<uint32_t>(kResourcesRva + pack::alignUp(resourcesSize, kSectionAlignment));
    const uint32_t codeRaw = kHeadersSize;
    const uint32_t resourcesRawPointer = codeRaw + kCodeSize;
    const uint32_t tailRaw = resourcesRawPointer + resourcesRaw;

    Bytes code = patterned(kCodeSize, 7);
    Bytes tail = patterned(kTailSize, 13);
    // The rva and file offset of a part at `offset` within the code or the tail section, or `inResources`.
    const auto rvaOf = [&](Place place, uint32_t offset, uint32_t inResources) {
        switch (place) {
        case Place::Resources:
            return kResourcesRva + inResources;
        case Place::Tail:
            return shape.tail ? tailRva + offset : kCodeRva + offset;
        default:
            return kCodeRva + offset;
        }
    };
    const auto fileOffsetOf = [&](Place place, uint32_t offset) {
        return place == Place::Tail && shape.tail ? tailRaw + offset : codeRaw + offset;
    };
    if (shape.debugDirectory == Place::Code || shape.debugDirectory == Place::Tail) {
        uint8_t* const entry = (shape.debugDirectory == Place::Tail && shape.tail ? tail : code).data() + kDebugAt;
        std::fill(entry, entry + kDebugEntrySize, 0);
        pack::putLe32(entry + 12, 2);
        pack::putLe32(entry + 16, kDebugDataSize);
        pack::putLe32(entry + 20, rvaOf(shape.debugData, kDebugDataAt, 0));
        pack::putLe32(entry + 24, fileOffsetOf(shape.debugData, kDebugDataAt));
    }

    Bytes image(tailRaw + (shape.tail ? kTailSize : 0));
    image[0] = 'M';
    image[1] = 'Z';
    pack::putLe32(image.data() + 0x3C, kNtHeaders);
    pack::putLe32(image.data() + kNtHeaders, 0x4550);
    const uint16_t sectionCount = shape.tail ? 3 : 2;
    uint8_t* const fileHeader = image.data() + kNtHeaders + 4;
    pack::putLe16(fileHeader, 0x8664);
    pack::putLe16(fileHeader + 2, sectionCount);
    pack::putLe16(fileHeader + 16, kOptionalHeaderSize);
    pack::putLe16(fileHeader + 18, 0x22);

    const uint32_t imageEnd = shape.tail ? tailRva + kSectionAlignment : tailRva;
    uint8_t* const optional = image.data() + kOptionalHeader;
    pack::putLe16(optional, 0x20B);
    optional[2] = 14;
    pack::putLe32(optional + 4, kCodeSize);
    pack::putLe32(optional + 8, resourcesRaw + (shape.tail ? kTailSize : 0));
    pack::putLe32(optional + 16, rvaOf(shape.entryPoint, 0, kInResources));
    pack::putLe32(optional + 20, kCodeRva);
    pack::putLe32(optional + 24, 0x40000000);
    pack::putLe32(optional + 28, 1);
    pack::putLe32(optional + 32, kSectionAlignment);
    pack::putLe32(optional + 36, kFileAlignment);
    pack::putLe16(optional + 40, 6);
    pack::putLe16(optional + 48, 6);
    pack::putLe32(optional + 56, imageEnd);
    pack::putLe32(optional + 60, kHeadersSize);
    pack::putLe16(optional + 68, 2);
    pack::putLe16(optional + 70, 0x8160);
    pack::putLe32(optional + 72, 0x100000);
    pack::putLe32(optional + 80, 0x1000);
    pack::putLe32(optional + 88, 0x100000);
    pack::putLe32(optional + 96, 0x1000);
    pack::putLe32(optional + 108, 16);
    const auto putDirectory = [&](uint32_t index, uint32_t rva, uint32_t size) {
        pack::putLe32(optional + 112 + 8 * index, rva);
        pack::putLe32(optional + 112 + 8 * index + 4, size);
    };
    putDirectory(2, kResourcesRva, resourcesSize);
    const std::pair<uint32_t, Place> placed[] = {
        {3, shape.exceptions}, {9, shape.tls}, {10, shape.loadConfig}, {12, shape.importAddresses}};
    for (size_t i = 0; i < 4; ++i) {
        if (placed[i].second != Place::None) {
            const bool inResources = placed[i].second == Place::Resources;
            putDirectory(placed[i].first, rvaOf(placed[i].second, kDirectoryAt[i], kInResources),
                         inResources ? kDirectoryInResourcesSize : kDirectorySize);
        }
    }
    if (shape.debugDirectory != Place::None) {
        putDirectory(6, rvaOf(shape.debugDirectory, kDebugAt, 0), kDebugEntrySize);
    }

    putSection(image, 0, ".text\0\0\0", kCodeSize, kCodeRva, kCodeSize, codeRaw, 0x60000020);
    putSection(image, 1, ".rsrc\0\0\0", resourcesSize, kResourcesRva, resourcesRaw, resourcesRawPointer, 0x40000040);
    if (shape.tail) {
        putSection(image, 2, ".tail\0\0\0", kTailSize, tailRva, kTailSize, tailRaw, 0x62000020);
        std::copy(tail.begin(), tail.end(), image.begin() + tailRaw);
    }
    std::copy(code.begin(), code.end(), image.begin() + codeRaw);
    std::copy(resources.begin(), resources.end(), image.begin() + resourcesRawPointer);
    return image;
}

} // namespace fuzz
