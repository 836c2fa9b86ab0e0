// Choosing and reading the setup's icon: from a file, from the package's Icon table, or none.
#include "ProductIcon.h"

#include "PackError.h"
#include "io/FileChecks.h"
#include "io/Platform.h"
#include "text/Text.h"
#include "text/Utf.h"

#include <memory>
#include <utility>

namespace pack {

ProductIcon::ProductIcon(const PackRequest& request, const std::string& packagePath, const std::string& iconName) {
    std::shared_ptr<ByteSource> source;
    switch (request.icon) {
    case IconChoice::None:
        description_ = "none, as --no-icon asks";
        return;
    case IconChoice::FromFile: {
        const std::string path = platform::absolutePath(request.iconPath);
        requireInputFile(path, "icon");
        source = platform::openInput(path);
        named_ = "The icon " + quoted(path);
        description_ = " from " + quoted(path);
        break;
    }
    case IconChoice::FromPackage: {
        if (iconName.empty()) {
            description_ = "none; the package names no icon in ARPPRODUCTICON";
            return;
        }
        const std::string shownName = quoted(printable(iconName));
        std::optional<std::vector<uint8_t>> row = platform::readIconRow(packagePath, iconName);
        if (!row) {
            description_ = "none; the package's Icon table has no row " + shownName + ", which ARPPRODUCTICON names";
            return;
        }
        source = std::make_shared<BufferSource>(std::move(*row));
        packageRow_ = shownName;
        named_ = "The icon " + shownName + " in the package " + quoted(packagePath);
        description_ = " from the package's Icon table, row " + shownName;
        break;
    }
    }
    try {
        images_ = readIcon(std::move(source));
    } catch (const FormatError& error) {
        unusable(error.what());
        return;
    }
    std::vector<IconSize> sizes;
    for (const IconImage& image : images_) {
        sizes.push_back(image.size());
    }
    description_ = describeIconSizes(sizes) + description_;
}

void ProductIcon::unusable(const std::string& reason) {
    if (packageRow_.empty()) {
        throw Error(named_ + " cannot be used: " + reason);
    }
    images_.clear();
    warning_ = named_ + " cannot be used: " + reason + "; the setup is packed without an icon";
    description_ = "none; the row " + packageRow_ + " of the package's Icon table cannot be used: " + reason;
}

void ProductIcon::place(ResourceTree& resources, const IconGroupImages& groups) const {
    if (!images_.empty()) {
        placeIconGroup(images_, groups, resources);
    }
}

} // namespace pack
