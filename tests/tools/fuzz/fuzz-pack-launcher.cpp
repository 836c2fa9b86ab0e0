// Fuzz target: any file packed as the launcher, with the package's icon; a written setup must read back whole,
// with all it carried and the launcher's code and data where they were.
#include "MemoryPlatform.h"
#include "PackChecks.h"
#include "PackError.h"
#include "Require.h"
#include "pe/PeImage.h"
#include "setup/Packer.h"
#include "setup/SetupReader.h"

#include <cstdint>
#include <string>

namespace {

const std::string kLauncher = "/launcher.exe";
const std::string kPackage = "/product.msi";
const std::string kSetup = "/setup.exe";
const std::string kExtracted = "/extracted.msi";
const std::string kProductCode = "{6F1C2B9E-4D7A-4E35-A0B8-93C5D2E1F604}";
const std::string kIconName = "product.ico";

// More than a page, so that the resource section grows past its next page and the sections after it move.
const pack::memory::Bytes& package() {
    static const pack::memory::Bytes bytes = [] {
        pack::memory::Bytes made(6000);
        for (size_t i = 0; i < made.size(); ++i) {
            made[i] = static_cast<uint8_t>(i * 131 + 7);
        }
        return made;
    }();
    return bytes;
}

// An .ico of one 16-pixel bitmap image: its header and a few pixels.
const pack::memory::Bytes& icon() {
    static const pack::memory::Bytes bytes = [] {
        constexpr uint32_t kImageSize = 48;
        pack::memory::Bytes made(6 + 16 + kImageSize);
        pack::putLe16(made.data() + 2, 1);
        pack::putLe16(made.data() + 4, 1);
        made[6] = 16;
        made[7] = 16;
        pack::putLe16(made.data() + 10, 1);
        pack::putLe16(made.data() + 12, 32);
        pack::putLe32(made.data() + 14, kImageSize);
        pack::putLe32(made.data() + 18, 22);
        pack::putLe32(made.data() + 22, 40);
        return made;
    }();
    return bytes;
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
                            {"Manufacturer", "Kestrel"},
                            {"ARPPRODUCTICON", kIconName}};
    memory::iconRows()[kIconName] = icon();
    if (fuzz::runPacker({"--launcher", kLauncher, kPackage, kSetup}) != 0) {
        fuzz::require(memory::files().count(kSetup) == 0, "a refused pack to leave no setup");
        return 0;
    }
    const SetupFacts facts = fuzz::requireReadsBack(kSetup, kExtracted, package());
    fuzz::require(facts.storedDigest.has_value(), "the packed setup to carry a digest");
    fuzz::require(facts.productCode == kProductCode && facts.productName == "Fuzzed Product" &&
                      facts.productVersion == "1.2.3" && facts.manufacturer == "Kestrel",
                  "the setup to describe the packed product");
    fuzz::require(describeIconSizes(facts.iconSizes) == "16x16", "the setup to wear the package's icon");
    fuzz::requireLauncherKept(memory::files()[kLauncher], memory::files()[kSetup], true);
    fuzz::requireShortIconLines();
    return 0;
}
