// Packing: checks the request, reads the product, and writes the launcher with the package and its description.
#include "Packer.h"

#include "LauncherImage.h"
#include "PackError.h"
#include "ProductCode.h"
#include "ProductIcon.h"
#include "io/FileChecks.h"
#include "io/OutputFile.h"
#include "io/Platform.h"
#include "text/Text.h"

#include <map>
#include <memory>
#include <optional>

namespace pack {

namespace {

// Windows Installer does not open a package of 2 GiB or more.
constexpr uint64_t kMaxPackageSize = 0x7FFFFFFF;

Product readProduct(const std::string& packagePath) {
    const std::map<std::string, std::string> properties = platform::readProperties(packagePath);
    const auto valueOf = [&properties](const char* name) {
        const auto found = properties.find(name);
        return found == properties.end() ? std::string() : found->second;
    };
    if (properties.find("ProductCode") == properties.end()) {
        throw Error("The package " + quoted(packagePath) +
                    " has no ProductCode property, so it does not install a product");
    }
    const std::optional<std::string> code = canonicalProductCode(valueOf("ProductCode"));
    if (!code) {
        throw Error("The package " + quoted(packagePath) + " has the ProductCode " +
                    quoted(printable(shortened(valueOf("ProductCode"), kShownProductCodeLength))) +
                    ", which is not a GUID");
    }
    return Product{valueOf("ProductName"), valueOf("ProductVersion"), valueOf("Manufacturer"), *code,
                   valueOf("ARPPRODUCTICON")};
}

} // namespace

PackSummary pack(const PackRequest& request) {
    const std::string launcherPath = platform::absolutePath(request.launcherPath);
    const std::string packagePath = platform::absolutePath(request.packagePath);
    const std::string outputPath = platform::absolutePath(request.outputPath);

    requireInputFile(packagePath, "package");
    requireInputFile(launcherPath, "launcher");
    const std::string iconPath =
        request.icon == IconChoice::FromFile ? platform::absolutePath(request.iconPath) : std::string();
    requireReplaceableOutput(outputPath, {packagePath, launcherPath, iconPath});

    const Product product = readProduct(packagePath);
    const LauncherImage launcher(platform::openInput(launcherPath), launcherPath);
    const std::shared_ptr<ByteSource> package = platform::openInput(packagePath);
    if (package->size() > kMaxPackageSize) {
        throw Error("The package " + quoted(packagePath) + " is " + std::to_string(package->size()) +
                    " bytes; Windows Installer packages are limited to 2 GiB");
    }
    ProductIcon icon(request, packagePath, product.icon);
    launcher.fitIcon(icon);
    platform::OutputFile output(outputPath, platform::OutputUse::Program);
    launcher.writeSetup(package, product, platform::fileNameOf(outputPath), output, &icon);
    output.commit();

    return PackSummary{product.name, product.version, product.manufacturer, product.code,
                       package->size(), outputPath, icon.description(), icon.warning()};
}

} // namespace pack
