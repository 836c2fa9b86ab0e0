// The launcher the Windows tree built, which the icon harnesses pack into, read once from where the build puts it.
#pragma once

#include "MemoryPlatform.h"
#include "Require.h"

#include <fstream>
#include <iterator>
#include <string>

namespace fuzz {

inline const pack::memory::Bytes& testLauncher() {
    static const pack::memory::Bytes bytes = [] {
        std::ifstream file(KR_FUZZ_LAUNCHER, std::ios::binary);
        pack::memory::Bytes read((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
        require(!read.empty(), std::string("the launcher to read at ") + KR_FUZZ_LAUNCHER);
        return read;
    }();
    return bytes;
}

} // namespace fuzz
