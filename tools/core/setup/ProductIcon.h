// The setup's icon: chosen by the request and the package, read and checked before anything is written.
#pragma once

#include "Packer.h"
#include "resources/Icon.h"

#include <string>
#include <vector>

namespace pack {

class ProductIcon {
public:
    // Reads the icon the request chooses: a file, the package's Icon row that `iconName` (ARPPRODUCTICON) names,
    // or none. Raises Error naming the icon and the reason when a file given for it cannot be used; the
    // package's own icon that cannot be used is left out, as unusable() says.
    ProductIcon(const PackRequest& request, const std::string& packagePath, const std::string& iconName);

    // The icon cannot be used, for `reason`: one the user gave is refused with Error; the package's own is
    // decoration the user did not ask for, so the setup goes without it, and warning() and description() say why.
    void unusable(const std::string& reason);

    // Makes the icon, if there is one, the first icon group of `resources`, whose groups are `groups`; the
    // resources hold shares of its images' bytes. Raises FormatError when it does not fit.
    void place(ResourceTree& resources, const IconGroupImages& groups) const;

    // Its sizes and where it comes from, or why the setup has none.
    const std::string& description() const { return description_; }
    // Why the package's icon was left out; empty when it was not.
    const std::string& warning() const { return warning_; }

private:
    std::string packageRow_; // the Icon row's name as shown, when the icon is the package's
    std::string named_;      // "The icon '...'" and where it is
    std::vector<IconImage> images_; // each holding a share of the file or row it comes from
    std::string description_;
    std::string warning_;
};

} // namespace pack
