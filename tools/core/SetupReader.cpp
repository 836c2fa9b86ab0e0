// Reading a packed setup: the resources the packer wrote, found in the image's resource tree, never loaded.
#include "SetupReader.h"

#include "FileChecks.h"
#include "Icon.h"
#include "PackError.h"
#include "PackageDigest.h"
#include "PeImage.h"
#include "Platform.h"
#include "SetupResources.h"
#include "Utf.h"
#include "VersionBlock.h"

#include <memory>

namespace pack {

namespace {

constexpr uint16_t kVersionResource = 1;

// An open setup: its image and where its package lies.
struct OpenSetup {
    std::unique_ptr<ByteSource> file;
    std::unique_ptr<PeImage> image;
    ResourceData package;
};

// The first language of a resource; null when it is absent.
const ResourceData* findResource(const ResourceTree& resources, const ResourceId& type, const ResourceId& name) {
    const std::vector<uint16_t> languages = resources.languages(type, name);
    return languages.empty() ? nullptr : resources.find(type, name, languages.front());
}

// Stored bytes as text, with whatever is not UTF-8 replaced.
std::string storedText(const ResourceData& data) {
    const ByteView bytes = data.source->read(data.offset, data.size);
    return toUtf8(toUtf16(std::string(reinterpret_cast<const char*>(bytes.data), bytes.size)));
}

std::string versionText(const std::map<std::u16string, std::u16string>& strings, const char16_t* name) {
    const auto found = strings.find(name);
    return found == strings.end() ? std::string() : toUtf8(found->second);
}

// Fills in every fact but the package's digest.
OpenSetup openSetup(SetupFacts& facts) {
    OpenSetup setup;
    setup.file = platform::openInput(facts.setupPath);
    try {
        setup.image = std::make_unique<PeImage>(*setup.file);
        const ResourceTree& resources = setup.image->resources();
        const ResourceData* package = findResource(resources, kResourceTypeRawData, kPackageResource);
        if (!package) {
            throw FormatError("it carries no installer package (no \"msi\" resource)");
        }
        setup.package = *package;
        facts.packageSize = package->size;
        if (const ResourceData* digest = findResource(resources, kResourceTypeRawData, kDigestResource)) {
            facts.storedDigest = storedText(*digest);
        }
        if (const ResourceData* code = findResource(resources, kResourceTypeRawData, kProductCodeResource)) {
            facts.productCode = storedText(*code);
        }
        if (const ResourceData* version = findResource(resources, kResourceTypeVersion, kVersionResource)) {
            const std::map<std::u16string, std::u16string> strings =
                readVersionStrings(version->source->read(version->offset, version->size));
            facts.productName = versionText(strings, u"ProductName");
            facts.productVersion = versionText(strings, u"ProductVersion");
            facts.manufacturer = versionText(strings, u"CompanyName");
        }
        facts.iconSizes = firstIconGroupSizes(resources);
    } catch (const FormatError& error) {
        throw Error(quoted(facts.setupPath) + " is not a Kestrel setup: " + error.what());
    }
    facts.signature = setup.image->directories()[pe::kDirectorySecurity].size != 0;
    return setup;
}

} // namespace

SetupFacts inspectSetup(const std::string& setupPath) {
    SetupFacts facts;
    facts.setupPath = platform::absolutePath(setupPath);
    requireInputFile(facts.setupPath, "setup");
    const OpenSetup setup = openSetup(facts);
    facts.packageDigest = copyWithDigest(*setup.package.source, setup.package.offset, setup.package.size, nullptr);
    return facts;
}

SetupFacts extractPackage(const std::string& setupPath, const std::string& outputPath, bool force) {
    SetupFacts facts;
    facts.setupPath = platform::absolutePath(setupPath);
    const std::string output = platform::absolutePath(outputPath);
    requireInputFile(facts.setupPath, "setup");
    requireReplaceableOutput(output, {facts.setupPath});
    const OpenSetup setup = openSetup(facts);
    platform::OutputFile file(output);
    facts.packageDigest = copyWithDigest(*setup.package.source, setup.package.offset, setup.package.size, &file);
    if (!facts.packageIsWhole() && !force) {
        throw Error(damageMessage(facts) + "; nothing was extracted (--force extracts it all the same)");
    }
    file.commit();
    return facts;
}

std::string damageMessage(const SetupFacts& facts) {
    return "The installer package inside " + quoted(facts.setupPath) + " is damaged: its digest is " +
           facts.packageDigest + ", the setup carries " + facts.storedDigest.value_or(std::string("none"));
}

} // namespace pack
