// Launcher images of a given shape, written byte by byte without the packer's writer: a resource tree of any size
// and sharing, and the entry point, data directories and debug data in any section.
#pragma once

#include "MemoryPlatform.h"

#include <cstdint>
#include <string>
#include <vector>

namespace fuzz {

// Where a part of the image lies: its code section, the resource section, or a discardable section after it.
enum class Place : uint8_t { None, Code, Resources, Tail };

// A resource type or name: a number, or one of the tree's texts.
struct ShapeId {
    bool isText = false;
    uint16_t number = 0;
    uint32_t text = 0; // index into LauncherShape::texts
};

struct ShapeName {
    ShapeId id;
    // Its languages, 0 upwards; each names the datum of its index in LauncherShape::data.
    std::vector<uint32_t> data;
};

struct ShapeType {
    ShapeId id;
    std::vector<ShapeName> names;
};

struct LauncherShape {
    // Written once each, however many entries name them. Entries in one directory must differ, as the reader
    // requires; the shape is written as it is, unsorted.
    std::vector<std::u16string> texts;
    // Written once each, however many languages name them.
    std::vector<pack::memory::Bytes> data;
    std::vector<ShapeType> types;

    Place entryPoint = Place::Code;
    // The data directories of the exception table, TLS, load configuration and import address table.
    Place exceptions = Place::None;
    Place tls = Place::None;
    Place loadConfig = Place::None;
    Place importAddresses = Place::None;
    Place debugDirectory = Place::None;
    Place debugData = Place::Code; // with a debug directory: where its one entry's data lies
    bool tail = false;             // a discardable, executable section after the resources
};

// A 64-bit image of a code section, the resource section and, with `shape.tail`, the tail section, its parts
// placed as `shape` says (in the tail only when there is one, else in the code section).
pack::memory::Bytes shapedLauncher(const LauncherShape& shape);

} // namespace fuzz
