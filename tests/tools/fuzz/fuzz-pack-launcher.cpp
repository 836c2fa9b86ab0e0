// Fuzz target: any file packed as the launcher; a written setup must read back whole with all it carried.
#include "MemoryPlatform.h"
#include "PackError.h"
#include "Require.h"
#include "pe/PeImage.h"
#include "setup/Packer.h"
#include "setup/SetupReader.h"

#include <algorithm>
#include <cstdint>
#include <memory>
#include <string>

namespace {

const std::string kLauncher = "/launcher.exe";
const std::string kPackage = "/product.msi";
const std::string kSetup = "/setup.exe";
const std::string kExtracted = "/extracted.msi";
const std::string kProductCode = "{6F1C2B9E-4D7A-4E35-A0B8-93C5D2E1F604}";

const pack::memory::Bytes& package() {
    static const pack::memory::Bytes bytes = [] {
        pack::memory::Bytes made(1000);
        for (size_t i = 0; i < made.size(); ++i) {
            made[i] = static_cast<uint8_t>(i * 131 + 7);
        }
        return made;
    }();
    return bytes;
}

pack::ByteView bytesOf(const pack::ResourceData& data) { return data.source->read(data.offset, data.size); }

bool sameBytes(pack::ByteView a, const pack::memory::Bytes& b) {
    return a.size == b.size() && std::equal(b.begin(), b.end(), a.data);
}

// Every resource of the launcher but its version block is in the setup, byte for byte.
void requireLauncherResources() {
    pack::MemorySource launcherBytes(pack::memory::files()[kLauncher]);
    pack::MemorySource setupBytes(pack::memory::files()[kSetup]);
    const pack::PeImage launcher(launcherBytes);
    const pack::PeImage setup(setupBytes);
    for (const auto& [type, names] : launcher.resources().types()) {
        for (const auto& [name, languages] : names) {
            for (const auto& [language, data] : languages) {
                if (type.isNumber() && type.number == pack::kResourceTypeVersion) {
                    continue;
                }
                const pack::ResourceData* packed = setup.resources().find(type, name, language);
                fuzz::require(packed != nullptr, "the setup to keep every resource of the launcher");
                const pack::ByteView original = bytesOf(data);
                const pack::memory::Bytes copy(original.data, original.data + original.size);
                fuzz::require(sameBytes(bytesOf(*packed), copy), "the setup to keep the launcher's resource data");
            }
        }
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace pack;
    memory::reset();
    memory::files()[kLauncher].assign(data, data + size);
    memory::files()[kPackage] = package();
    memory::properties() = {{"ProductCode", kProductCode},
                            {"ProductName", "Fuzzed Product"},
                            {"ProductVersion", "1.2.3"},
                            {"Manufacturer", "Kestrel"}};
    PackSummary summary;
    try {
        summary = pack::pack(PackRequest{kLauncher, kPackage, kSetup});
    } catch (const Error&) {
        fuzz::require(memory::files().count(kSetup) == 0, "a refused pack to leave no setup");
        return 0;
    }
    SetupFacts facts;
    try {
        facts = extractPackage(kSetup, kExtracted, false);
    } catch (const Error& error) {
        fuzz::require(false, std::string("the packed setup to read back, not: ") + error.what());
    }
    fuzz::require(facts.storedDigest && facts.packageIsWhole(), "the packed setup to carry a matching digest");
    fuzz::require(memory::files()[kExtracted] == package(), "the package to come back byte for byte");
    fuzz::require(facts.productCode == kProductCode && facts.productName == "Fuzzed Product" &&
                      facts.productVersion == "1.2.3" && facts.manufacturer == "Kestrel",
                  "the setup to describe the packed product");
    requireLauncherResources();
    return 0;
}
