// The packer's version, as --version shows it and every setup records it.
#pragma once

namespace pack {

// "1.0.0": the project's version, the one place the build gives it to the code.
const char* packerVersion();

} // namespace pack
