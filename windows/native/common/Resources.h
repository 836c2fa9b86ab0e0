// One resource of a loaded module: looked up on each access, copied out or written to a file.
#pragma once

#include "tstrings.h"

#include <windows.h>

#include <cstdint>
#include <functional>
#include <vector>

class Crc32c;

class Resource {
public:
    // `name` and `type` are each a wide string, which is copied, or an integer identifier such as RT_RCDATA.
    // Nothing is looked up here.
    Resource(LPCWSTR name, LPCWSTR type, HMODULE resourceModule);
    // The identifiers may point into the object's own strings, so it is neither copied nor assigned.
    Resource(const Resource&) = delete;
    Resource& operator=(const Resource&) = delete;

    std::vector<uint8_t> readBytes() const;
    // Writes the bytes straight from the module's image through a FileWriter; the destination changes only
    // when all of them were written.
    void writeToFile(const tstring& path) const;
    // As writeToFile, in pieces, each taken into a CRC-32C just before it is written, so that the bytes are
    // read once. `verify` gets the CRC of all of them before the file is moved into place; what it raises
    // leaves nothing behind.
    void writeToFile(const tstring& path, const std::function<void(const Crc32c&)>& verify) const;
    // Whether the module has the resource; a lookup that fails for any other reason raises.
    bool exists() const;

private:
    // The first byte in the module's image, valid while the module is loaded; `size` receives the byte count.
    const void* getPtr(DWORD& size) const;
    MessageBuilder describe(const char* failure) const;

    tstring nameStr;
    LPCWSTR nameId;
    tstring typeStr;
    LPCWSTR typeId;
    HMODULE module;
};
