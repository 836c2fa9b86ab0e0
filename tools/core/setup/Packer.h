// Packing: a launcher and an installer package combined into a setup executable that describes the product.
#pragma once

#include "bytes/Bytes.h"
#include "pe/PeImage.h"
#include "resources/Icon.h"

#include <cstdint>
#include <memory>
#include <string>

namespace pack {

class ProductIcon;

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

// What a package says of its product, as it says it; the code braced and in upper case.
struct Product {
    std::string name;
    std::string version;
    std::string manufacturer;
    std::string code;
    std::string icon; // the Icon row that ARPPRODUCTICON names
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

// A launcher checked, before any output exists, to carry a package: its image meets the rules of ImageRules.h,
// it carries no package yet, its icon groups are whole, and its resources with the setup's stay countable.
class LauncherImage {
public:
    // `launcher` outlives this; `launcherPath` names it in messages. Raises Error when it cannot be packed.
    LauncherImage(ByteSource& launcher, const std::string& launcherPath);

    // Places `icon` among the setup's resources on trial, before any output exists: an icon that does not fit
    // is refused or left out, as ProductIcon::unusable says.
    void fitIcon(ProductIcon& icon) const;

    // Writes to `output` the setup that carries `package` (smaller than 2 GiB), described by `product`;
    // `setupFileName` goes into the version block; `icon`, when not null, becomes its first icon group. Raises
    // Error when the setup would be too large, and whatever the sources and the sink raise.
    void writeSetup(ByteSource& package, const Product& product, const std::string& setupFileName, ByteSink& output,
                    ProductIcon* icon = nullptr) const;

private:
    std::string launcherPath_;
    std::unique_ptr<PeImage> image_;
    IconGroupImages iconGroups_;
    uint16_t versionLanguage_ = 0;
};

// Writes the setup through a temporary file beside the output and moves it into place only when it is complete.
// Raises Error when the package or the launcher is unusable or a step fails; the output is then left as it was.
PackSummary pack(const PackRequest& request);

} // namespace pack
