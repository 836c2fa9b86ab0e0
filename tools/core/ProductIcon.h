// The setup's icon: chosen by the request and the package, read and checked before anything is written.
#pragma once

#include "Icon.h"
#include "Packer.h"

#include <memory>
#include <string>
#include <vector>

namespace pack {

class ProductIcon {
public:
    // Reads the icon the request chooses: a file, the package's Icon row that `iconName` (ARPPRODUCTICON) names,
    // or none. Raises Error naming the icon and the reason when it cannot be read.
    ProductIcon(const PackRequest& request, const std::string& packagePath, const std::string& iconName);
    ProductIcon(const ProductIcon&) = delete;
    ProductIcon& operator=(const ProductIcon&) = delete;

    // Makes the icon, if there is one, the first icon group of `resources`, whose groups are `groups`; the
    // resources refer to this until the setup is written.
    void place(ResourceTree& resources, const IconGroupImages& groups);

    // Its sizes and where it comes from, or why the setup has none.
    const std::string& description() const { return description_; }

private:
    std::vector<uint8_t> row_;
    std::unique_ptr<ByteSource> source_;
    std::vector<IconImage> images_;
    std::unique_ptr<IconGroup> group_;
    std::string description_;
};

} // namespace pack
