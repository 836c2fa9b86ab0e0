// A launcher made a setup: its resources with the package, its digest and code, and a version block of the product.
#include "LauncherImage.h"

#include "PackError.h"
#include "PackageDigest.h"
#include "ProductIcon.h"
#include "Version.h"
#include "pe/ImageRules.h"
#include "pe/ImageWriter.h"
#include "resources/SetupResources.h"
#include "resources/VersionBlock.h"
#include "text/Utf.h"

#include <memory>
#include <utility>
#include <vector>

namespace pack {

namespace {

constexpr uint16_t kNeutralLanguage = 0;
// For a launcher without a version block of its own: English (United States).
constexpr uint16_t kDefaultVersionLanguage = 0x0409;

std::vector<uint8_t> describeProduct(const Product& product, const std::string& fileName, uint16_t language) {
    VersionInfo info;
    info.version = parseFixedVersion(product.version);
    info.language = language;
    const std::pair<std::u16string_view, std::string> strings[] = {
        {u"CompanyName", product.manufacturer},
        {u"FileDescription", product.name.empty() ? std::string("Setup") : product.name + " Setup"},
        {u"FileVersion", product.version},
        {u"InternalName", fileName.substr(0, fileName.rfind('.'))},
        {u"OriginalFilename", fileName},
        {u"ProductName", product.name},
        {u"ProductVersion", product.version},
        {kPackerVersionString, packerVersion()},
    };
    // A property the package lacks leaves no empty text behind.
    for (const auto& [name, value] : strings) {
        if (!value.empty()) {
            info.strings.emplace_back(name, toUtf16(value));
        }
    }
    return buildVersionBlock(info);
}

// The setup's resources: the launcher's, with the package, its digest and code, and the version block in place
// of the launcher's.
void putSetupResources(ResourceTree& resources, uint16_t versionLanguage, const ResourceData& package,
                       const ResourceData& digest, const ResourceData& productCode, const ResourceData& version) {
    resources.put(kResourceTypeRawData, kPackageResource, kNeutralLanguage, package);
    resources.put(kResourceTypeRawData, kDigestResource, kNeutralLanguage, digest);
    resources.put(kResourceTypeRawData, kProductCodeResource, kNeutralLanguage, productCode);
    for (const uint16_t language : resources.languages(kResourceTypeVersion, kVersionResource)) {
        resources.remove(kResourceTypeVersion, kVersionResource, language);
    }
    resources.put(kResourceTypeVersion, kVersionResource, versionLanguage, version);
}

// A Kestrel launcher says so in its version block; a setup does not, as the packer replaces that block.
bool isKestrelLauncher(const ResourceTree& resources) {
    const auto* block = resources.first(kResourceTypeVersion, kVersionResource);
    if (!block) {
        return false;
    }
    const VersionStrings strings = readVersionStrings(block->second);
    const auto mark = strings.find(u"KestrelLauncher");
    return mark != strings.end() && mark->second == u"1";
}

} // namespace

LauncherImage::LauncherImage(std::shared_ptr<ByteSource> launcher, const std::string& launcherPath)
    : launcherPath_(launcherPath) {
    try {
        image_ = std::make_unique<PeImage>(std::move(launcher));
        ResourceTree resources = image_->resources();
        if (!resources.languages(kResourceTypeRawData, kPackageResource).empty() ||
            !resources.languages(kResourceTypeRawData, kDigestResource).empty() ||
            !resources.languages(kResourceTypeRawData, kProductCodeResource).empty()) {
            throw Error("The launcher " + quoted(launcherPath) +
                        " already carries a package; pack from the bare kestrel-launcher.exe");
        }
        if (!isKestrelLauncher(resources)) {
            throw FormatError("it is not a Kestrel launcher");
        }
        image_->rewritableResourceSection();
        iconGroups_ = readIconGroups(resources);
        const auto* version = resources.first(kResourceTypeVersion, kVersionResource);
        versionLanguage_ = version ? version->first : kDefaultVersionLanguage;
        putSetupResources(resources, versionLanguage_, {}, {}, {}, {});
        checkResourceTree(resources);
    } catch (const FormatError& error) {
        throw Error("The launcher " + quoted(launcherPath) + " cannot be packed: " + error.what());
    }
}

void LauncherImage::fitIcon(ProductIcon& icon) const {
    ResourceTree resources = image_->resources();
    putSetupResources(resources, versionLanguage_, {}, {}, {}, {});
    try {
        icon.place(resources, iconGroups_);
        checkResourceTree(resources);
    } catch (const FormatError& error) {
        icon.unusable(error.what());
    }
}

void LauncherImage::writeSetup(std::shared_ptr<ByteSource> package, const Product& product,
                               const std::string& setupFileName, ByteSink& output, const ProductIcon* icon) const {
    // The digest's name sorts after the package's, so its text is complete when the writer comes to it.
    const auto digestedPackage = std::make_shared<DigestingSource>(std::move(package));
    const auto digest = std::make_shared<DigestTextSource>(digestedPackage);
    const auto productCode =
        std::make_shared<BufferSource>(std::vector<uint8_t>(product.code.begin(), product.code.end()));
    const auto version = std::make_shared<BufferSource>(describeProduct(product, setupFileName, versionLanguage_));
    ResourceTree resources = image_->resources();
    putSetupResources(resources, versionLanguage_, ResourceData::of(digestedPackage), ResourceData::of(digest),
                      ResourceData::of(productCode), ResourceData::of(version));
    try {
        if (icon) {
            icon->place(resources, iconGroups_);
        }
        writeImage(*image_, resources, output);
    } catch (const FormatError& error) {
        throw Error("The setup " + quoted(setupFileName) + " cannot be written: " + error.what());
    }
}

} // namespace pack
