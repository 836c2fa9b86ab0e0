// Reading a packed setup without running it: what it carries, whether its package is whole, the package itself.
#pragma once

#include "bytes/Bytes.h"
#include "pe/PeImage.h"
#include "resources/Icon.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace pack {

// Texts come from the file: valid UTF-8, but not yet escaped for showing (see Text.h).
struct SetupFacts {
    std::string setupPath; // absolute
    // From the version block: ProductName, ProductVersion and CompanyName; empty when absent.
    std::string productName;
    std::string productVersion;
    std::string manufacturer;
    // The product_code resource: as stored when it is a GUID, else cut to 64 characters; empty when absent.
    std::string productCode;
    uint64_t packageSize = 0;
    std::optional<std::string> storedDigest; // absent for a setup packed without one, or with a malformed one
    bool digestMalformed = false;            // the digest resource is not "crc32c:" and 8 lowercase hex digits
    std::string packageDigest;               // of the package as the setup carries it
    bool signature = false;                  // a certificate table is present; it is not verified
    std::vector<IconSize> iconSizes;         // of its first icon group; empty when it has none or it is damaged
    std::string iconDamage;                  // what is wrong with that group or its images; empty when nothing
    std::string packerVersion;               // the Kestrel version that packed it; empty when not recorded

    bool packageIsWhole() const { return !digestMalformed && (!storedDigest || *storedDigest == packageDigest); }
};

// A setup read from a source that its image and its package hold shares of: its facts but the package's digest, and
// where its package lies.
struct OpenSetup {
    SetupFacts facts;
    std::unique_ptr<PeImage> image;
    ResourceData package;
};

// Reads the setup in `file`, named `setupPath` in messages: its image, checked first, and its resources but the
// package. Raises Error when it is no Kestrel setup, and whatever the source raises; a damaged icon is only
// described, as the package stays whole without it.
OpenSetup openSetup(std::shared_ptr<ByteSource> file, const std::string& setupPath);

// Reads the package of an open setup front to back, passing it to `sink` when not null, and sets its digest.
void readPackage(OpenSetup& setup, ByteSink* sink);

// Reads the setup's facts, the package's digest included. Raises Error when the file cannot be read or is no
// Kestrel setup.
SetupFacts inspectSetup(const std::string& setupPath);

// Writes the setup's package to `outputPath` through a temporary file beside it, moved into place only when
// complete, and returns the setup's facts. A package that does not match its digest is refused unless `force`:
// Error is raised and the output is left as it was, as on every other failure.
SetupFacts extractPackage(const std::string& setupPath, const std::string& outputPath, bool force);

// The message for a package that does not match its digest.
std::string damageMessage(const SetupFacts& facts);

} // namespace pack
