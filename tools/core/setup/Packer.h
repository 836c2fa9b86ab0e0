// Packing: a launcher and an installer package combined into a setup executable that describes the product.
#pragma once

#include <cstdint>
#include <string>

namespace pack {

enum class IconChoice {
    FromPackage, // the one ARPPRODUCTICON names in the package's Icon table, if any
    FromFile,    // PackRequest::iconPath
    None,
};

struct PackRequest {
    std::string launcherPath;
    std::string packagePath;
    std::string outputPath;
    IconChoice icon = IconChoice::FromPackage;
    std::string iconPath{}; // with IconChoice::FromFile
};

// What went into the setup executable.
struct PackSummary {
    std::string productName;
    std::string productVersion;
    std::string manufacturer;
    std::string productCode; // braced, upper case
    uint64_t packageSize = 0;
    std::string outputPath;  // absolute
    std::string icon;        // the setup's icon, its sizes and where it comes from, or why it has none
    std::string iconWarning; // why the package's own icon was left out; empty when it was not
};

// Writes the setup through a temporary file beside the output and moves it into place only when it is complete.
// Raises Error when the package or the launcher is unusable or a step fails; the output is then left as it was.
PackSummary pack(const PackRequest& request);

} // namespace pack
