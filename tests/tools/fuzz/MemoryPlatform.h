// In-memory files for driving the packer core without disk I/O: the pack::platform functions over a map.
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

struct Line {
    platform::Stream stream;
    std::string text;
};
// What writeLine wrote, in order.
std::vector<Line>& lines();

// Empties the files, the properties and the lines.
void reset();

} // namespace pack::memory
