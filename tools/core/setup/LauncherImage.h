// The launcher a setup is made of: checked before any output exists, then written with the package and its product.
#pragma once

#include "bytes/Bytes.h"
#include "pe/PeImage.h"
#include "resources/Icon.h"

#include <cstdint>
#include <memory>
#include <string>

namespace pack {

class ProductIcon;

// What a package says of its product, as it says it; the code braced and in upper case.
struct Product {
    std::string name;
    std::string version;
    std::string manufacturer;
    std::string code;
    std::string icon; // the Icon row that ARPPRODUCTICON names
};

// A launcher checked, before any output exists, to carry a package: its image meets the rules of ImageRules.h,
// it carries no package yet, its icon groups are whole, and its resources with the setup's stay countable.
class LauncherImage {
public:
    // Holds a share of `launcher`, which `launcherPath` names in messages. Raises Error when it cannot be packed.
    LauncherImage(std::shared_ptr<ByteSource> launcher, const std::string& launcherPath);

    // Places `icon` among the setup's resources on trial, before any output exists: an icon that does not fit
    // is refused or left out, as ProductIcon::unusable says.
    void fitIcon(ProductIcon& icon) const;

    // Writes to `output` the setup that carries `package` (smaller than 2 GiB), described by `product`;
    // `setupFileName` goes into the version block; `icon`, when not null, becomes its first icon group. The setup's
    // resource tree holds a share of every source it writes from. Raises Error when the setup would be too large,
    // and whatever the sources and the sink raise.
    void writeSetup(std::shared_ptr<ByteSource> package, const Product& product, const std::string& setupFileName,
                    ByteSink& output, const ProductIcon* icon = nullptr) const;

private:
    std::string launcherPath_;
    std::unique_ptr<PeImage> image_;
    IconGroupImages iconGroups_;
    uint16_t versionLanguage_ = 0;
};

} // namespace pack
