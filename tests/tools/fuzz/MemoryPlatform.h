// In-memory files for driving the packer core without disk I/O: the pack::platform functions over a map.
// A file opened for reading gives a fresh copy of the bytes on every read, freed at the next one, so that a view
// used after the next read of its source, or read past its end, is reported by AddressSanitizer.
#pragma once

#include "io/Platform.h"

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace pack::memory {

using Bytes = std::vector<uint8_t>;

// Every file by its absolute path, "/name"; "/" is the one directory.
std::map<std::string, Bytes>& files();
// What readProperties returns for any file present.
std::map<std::string, std::string>& properties();
// The rows of the Icon table that readIconRow answers with for any file present, by name.
std::map<std::string, Bytes>& iconRows();

struct Line {
    platform::Stream stream;
    std::string text;
};
// What writeLine wrote, in order.
std::vector<Line>& lines();

// Empties the files, the properties, the Icon rows and the lines.
void reset();

} // namespace pack::memory
