// Packing: checks the request, reads the product from the package and writes the launcher with the package,
// its digest, its code and a version block.
#include "Packer.h"

#include "FileChecks.h"
#include "ImageWriter.h"
#include "PackError.h"
#include "PackageDigest.h"
#include "PeImage.h"
#include "Platform.h"
#include "ProductCode.h"
#include "SetupResources.h"
#include "Utf.h"
#include "VersionBlock.h"

#include <memory>
#include <vector>

namespace pack {

namespace {

constexpr uint16_t kVersionResource = 1;
constexpr uint16_t kNeutralLanguage = 0;
// For a launcher without a version block of its own: English (United States).
constexpr uint16_t kDefaultVersionLanguage = 0x0409;
// Windows Installer does not open a package of 2 GiB or more.
constexpr uint64_t kMaxPackageSize = 0x7FFFFFFF;

struct Product {
    std::string name;
    std::string version;
    std::string manufacturer;
    std::string code;
};

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
        throw Error("The package " + quoted(packagePath) + " has the ProductCode '" + valueOf("ProductCode") +
                    "', which is not a GUID");
    }
    return Product{valueOf("ProductName"), valueOf("ProductVersion"), valueOf("Manufacturer"), *code};
}

std::vector<uint8_t> describeProduct(const Product& product, const std::string& outputPath, uint16_t language) {
    const std::string fileName = platform::fileNameOf(outputPath);
    VersionInfo info;
    info.version = parseFixedVersion(product.version);
    info.language = language;
    const std::pair<const char16_t*, std::string> strings[] = {
        {u"CompanyName", product.manufacturer},
        {u"FileDescription", product.name.empty() ? std::string("Setup") : product.name + " Setup"},
        {u"FileVersion", product.version},
        {u"InternalName", fileName.substr(0, fileName.rfind('.'))},
        {u"OriginalFilename", fileName},
        {u"ProductName", product.name},
        {u"ProductVersion", product.version},
    };
    // A property the package lacks leaves no empty text behind.
    for (const auto& [name, value] : strings) {
        if (!value.empty()) {
            info.strings.emplace_back(name, toUtf16(value));
        }
    }
    return buildVersionBlock(info);
}

} // namespace

PackSummary pack(const PackRequest& request) {
    const std::string launcherPath = platform::absolutePath(request.launcherPath);
    const std::string packagePath = platform::absolutePath(request.packagePath);
    const std::string outputPath = platform::absolutePath(request.outputPath);

    requireInputFile(packagePath, "package");
    requireInputFile(launcherPath, "launcher");
    requireReplaceableOutput(outputPath, {packagePath, launcherPath});

    const Product product = readProduct(packagePath);
    const std::unique_ptr<ByteSource> launcherFile = platform::openInput(launcherPath);
    const auto refuseLauncher = [&launcherPath](const FormatError& error) {
        return Error("The launcher " + quoted(launcherPath) + " cannot be packed: " + error.what());
    };
    std::unique_ptr<PeImage> launcher;
    try {
        launcher = std::make_unique<PeImage>(*launcherFile);
        launcher->rewritableResourceSection();
    } catch (const FormatError& error) {
        throw refuseLauncher(error);
    }
    ResourceTree resources = launcher->resources();
    if (!resources.languages(kResourceTypeRawData, kPackageResource).empty() ||
        !resources.languages(kResourceTypeRawData, kDigestResource).empty() ||
        !resources.languages(kResourceTypeRawData, kProductCodeResource).empty()) {
        throw Error("The launcher " + quoted(launcherPath) +
                    " already carries a package; pack from the bare kestrel-launcher.exe");
    }
    const std::unique_ptr<ByteSource> package = platform::openInput(packagePath);
    if (package->size() > kMaxPackageSize) {
        throw Error("The package " + quoted(packagePath) + " is " + std::to_string(package->size()) +
                    " bytes; Windows Installer packages are limited to 2 GiB");
    }

    const std::vector<uint16_t> versionLanguages = resources.languages(kResourceTypeVersion, kVersionResource);
    const uint16_t versionLanguage = versionLanguages.empty() ? kDefaultVersionLanguage : versionLanguages.front();
    const std::vector<uint8_t> versionBlock = describeProduct(product, outputPath, versionLanguage);
    const std::vector<uint8_t> productCode(product.code.begin(), product.code.end());
    MemorySource versionSource(versionBlock);
    MemorySource productCodeSource(productCode);
    // The digest's name sorts after the package's, so its text is complete when the writer comes to it.
    DigestingSource digestedPackage(*package);
    DigestTextSource digestSource(digestedPackage);

    resources.put(kResourceTypeRawData, kPackageResource, kNeutralLanguage,
                  ResourceData{&digestedPackage, 0, static_cast<uint32_t>(package->size()), 0});
    resources.put(kResourceTypeRawData, kDigestResource, kNeutralLanguage,
                  ResourceData{&digestSource, 0, static_cast<uint32_t>(kDigestTextSize), 0});
    resources.put(kResourceTypeRawData, kProductCodeResource, kNeutralLanguage,
                  ResourceData{&productCodeSource, 0, static_cast<uint32_t>(productCode.size()), 0});
    for (const uint16_t language : versionLanguages) {
        resources.remove(kResourceTypeVersion, kVersionResource, language);
    }
    resources.put(kResourceTypeVersion, kVersionResource, versionLanguage,
                  ResourceData{&versionSource, 0, static_cast<uint32_t>(versionBlock.size()), 0});

    platform::OutputFile output(outputPath, platform::OutputUse::Program);
    try {
        writeImage(*launcher, resources, output);
    } catch (const FormatError& error) {
        throw Error("The setup " + quoted(outputPath) + " cannot be written: " + error.what());
    }
    output.commit();

    return PackSummary{product.name, product.version, product.manufacturer, product.code, package->size(), outputPath};
}

} // namespace pack
