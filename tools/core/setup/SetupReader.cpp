// Reading a packed setup: the resources the packer wrote, found in the image's resource tree, never loaded.
#include "SetupReader.h"

#include "PackError.h"
#include "PackageDigest.h"
#include "ProductCode.h"
#include "io/FileChecks.h"
#include "io/OutputFile.h"
#include "io/Platform.h"
#include "resources/Icon.h"
#include "resources/SetupResources.h"
#include "resources/VersionBlock.h"
#include "text/Text.h"
#include "text/Utf.h"

#include <algorithm>
#include <utility>

namespace pack {

namespace {

// The first language of a resource; null when it is absent.
const ResourceData* findResource(const ResourceTree& resources, const ResourceId& type, const ResourceId& name) {
    const auto* first = resources.first(type, name);
    return first ? &first->second : nullptr;
}

// At most `limit` stored bytes as text, with whatever is not UTF-8 replaced.
std::string storedText(const ResourceData& data, uint32_t limit) {
    const ByteView bytes = data.source->read(data.offset, std::min(data.size, limit));
    return toUtf8(toUtf16(std::string(reinterpret_cast<const char*>(bytes.data), bytes.size)));
}

bool isDigestText(const std::string& text) {
    const std::string prefix = "crc32c:";
    return text.size() == kDigestTextSize && text.compare(0, prefix.size(), prefix) == 0 &&
           std::all_of(text.begin() + static_cast<std::ptrdiff_t>(prefix.size()), text.end(),
                       [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); });
}

std::string versionText(const VersionStrings& strings, std::u16string_view name) {
    const auto found = strings.find(std::u16string(name));
    return found == strings.end() ? std::string() : toUtf8(found->second);
}

void readResources(const ResourceTree& resources, OpenSetup& setup) {
    SetupFacts& facts = setup.facts;
    const ResourceData* package = findResource(resources, kResourceTypeRawData, kPackageResource);
    if (!package) {
        throw FormatError("it carries no installer package (no \"msi\" resource)");
    }
    setup.package = *package;
    facts.packageSize = package->size;
    if (const ResourceData* digest = findResource(resources, kResourceTypeRawData, kDigestResource)) {
        const std::string text = digest->size == kDigestTextSize ? storedText(*digest, digest->size) : std::string();
        facts.digestMalformed = !isDigestText(text);
        if (!facts.digestMalformed) {
            facts.storedDigest = text;
        }
    }
    if (const ResourceData* code = findResource(resources, kResourceTypeRawData, kProductCodeResource)) {
        // Four bytes a character at the most, and one more character to tell that there were more.
        const std::string text = storedText(*code, (kShownProductCodeLength + 1) * 4);
        facts.productCode = canonicalProductCode(text) ? text : shortened(text, kShownProductCodeLength);
    }
    if (const ResourceData* version = findResource(resources, kResourceTypeVersion, kVersionResource)) {
        const VersionStrings strings = readVersionStrings(*version);
        facts.productName = versionText(strings, u"ProductName");
        facts.productVersion = versionText(strings, u"ProductVersion");
        facts.manufacturer = versionText(strings, u"CompanyName");
        facts.packerVersion = versionText(strings, kPackerVersionString);
    }
    try {
        facts.iconSizes = firstIconGroupSizes(resources);
    } catch (const FormatError& error) {
        facts.iconDamage = error.what();
    }
}

} // namespace

OpenSetup openSetup(std::shared_ptr<ByteSource> file, const std::string& setupPath) {
    OpenSetup setup;
    setup.facts.setupPath = setupPath;
    try {
        setup.image = std::make_unique<PeImage>(std::move(file));
        readResources(setup.image->resources(), setup);
    } catch (const FormatError& error) {
        throw Error(quoted(setupPath) + " is not a Kestrel setup: " + error.what());
    }
    setup.facts.signature = setup.image->layout().directories[pe::kDirectorySecurity].size != 0;
    return setup;
}

void readPackage(OpenSetup& setup, ByteSink* sink) {
    setup.facts.packageDigest = copyWithDigest(*setup.package.source, setup.package.offset, setup.package.size, sink);
}

SetupFacts inspectSetup(const std::string& setupPath) {
    const std::string path = platform::absolutePath(setupPath);
    requireInputFile(path, "setup");
    OpenSetup setup = openSetup(platform::openInput(path), path);
    readPackage(setup, nullptr);
    return setup.facts;
}

SetupFacts extractPackage(const std::string& setupPath, const std::string& outputPath, bool force) {
    const std::string path = platform::absolutePath(setupPath);
    const std::string output = platform::absolutePath(outputPath);
    requireInputFile(path, "setup");
    requireReplaceableOutput(output, {path});
    OpenSetup setup = openSetup(platform::openInput(path), path);
    platform::OutputFile packageFile(output);
    readPackage(setup, &packageFile);
    if (!setup.facts.packageIsWhole() && !force) {
        throw Error(damageMessage(setup.facts) + "; nothing was extracted (--force extracts it all the same)");
    }
    packageFile.commit();
    return setup.facts;
}

std::string damageMessage(const SetupFacts& facts) {
    const std::string start = "The installer package inside " + quoted(facts.setupPath) + " is damaged: ";
    if (facts.digestMalformed) {
        return start +
               "the digest the setup carries is malformed (not \"crc32c:\" and 8 lowercase hexadecimal "
               "digits); the package's is " +
               facts.packageDigest;
    }
    return start + "its digest is " + facts.packageDigest + ", the setup carries " +
           facts.storedDigest.value_or(std::string("none"));
}

} // namespace pack
