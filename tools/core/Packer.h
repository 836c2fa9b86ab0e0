// Packing: a launcher and an installer package combined into a setup executable that describes the product.
#pragma once

#include <cstdint>
#include <string>

namespace pack {

struct PackRequest {
    std::string launcherPath;
    std::string packagePath;
    std::string outputPath;
};

// What went into the setup executable.
struct PackSummary {
    std::string productName;
    std::string productVersion;
    std::string manufacturer;
    std::string productCode; // braced, upper case
    uint64_t packageSize = 0;
    std::string outputPath; // absolute
};

// Writes the setup through a temporary file beside the output and moves it into place only when it is complete.
// Raises Error when the package or the launcher is unusable or a step fails; the output is then left as it was.
PackSummary pack(const PackRequest& request);

} // namespace pack
