// The package reading child's library calls: the Property and Icon tables read with msi.dll in this process.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

// As platform::readProperties and platform::readIconRow, which run these in a child; an Icon row over
// reader::kMaxIconRowSize raises Error unread.
namespace pack::platform::msidll {

std::map<std::string, std::string> readProperties(const std::string& packagePath);
std::optional<std::vector<uint8_t>> readIconRow(const std::string& packagePath, const std::string& name);

} // namespace pack::platform::msidll
