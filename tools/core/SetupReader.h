// Reading a packed setup without running it: what it carries, whether its package is whole, the package itself.
#pragma once

#include "Icon.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace pack {

struct SetupFacts {
    std::string setupPath; // absolute
    // From the version block: ProductName, ProductVersion and CompanyName; empty when absent.
    std::string productName;
    std::string productVersion;
    std::string manufacturer;
    std::string productCode; // the product_code resource, as stored; empty when absent
    uint64_t packageSize = 0;
    std::optional<std::string> storedDigest; // absent for a setup packed without one
    std::string packageDigest;               // of the package as the setup carries it
    bool signature = false;                  // a certificate table is present; it is not verified
    std::vector<IconSize> iconSizes;         // of its first icon group; empty when it has none

    bool packageIsWhole() const { return !storedDigest || *storedDigest == packageDigest; }
};

// Reads the setup's facts, the package's digest included. Raises Error when the file cannot be read or is no
// Kestrel setup (it carries no package).
SetupFacts inspectSetup(const std::string& setupPath);

// Writes the setup's package to `outputPath` through a temporary file beside it, moved into place only when
// complete, and returns the setup's facts. A package that does not match its digest is refused unless `force`:
// Error is raised and the output is left as it was, as on every other failure.
SetupFacts extractPackage(const std::string& setupPath, const std::string& outputPath, bool force);

// The message for a package that does not match its digest.
std::string damageMessage(const SetupFacts& facts);

} // namespace pack
