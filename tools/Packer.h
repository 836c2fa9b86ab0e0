// Packing: a launcher and an installer package combined into a setup executable that describes the product.
#pragma once

#include "Guid.h"
#include "tstrings.h"

#include <cstdint>

namespace pack {

struct PackRequest {
    tstring launcherPath;
    tstring packagePath;
    tstring outputPath;
};

// What went into the setup executable.
struct PackSummary {
    tstring productName;
    tstring productVersion;
    tstring manufacturer;
    Guid productCode;
    uint64_t packageSize = 0;
    tstring outputPath; // absolute
};

// Writes the setup through a temporary file beside the output and moves it into place only when it is complete.
// Raises when the package or the launcher is unusable or a step fails; the output is then left as it was.
PackSummary pack(const PackRequest& request);

} // namespace pack
