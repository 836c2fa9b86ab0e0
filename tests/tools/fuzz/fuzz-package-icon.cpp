// Fuzz target: any bytes as the package's Icon row that ARPPRODUCTICON names; the pack goes on without an icon it
// cannot use, and the setup reads back whole.
#include "resources/Icon.h"
#include "MemoryPlatform.h"
#include "PackChecks.h"
#include "PackError.h"
#include "Require.h"
#include "setup/SetupReader.h"
#include "TestLauncher.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace {

const std::string kLauncher = "/launcher.exe";
const std::string kPackage = "/product.msi";
const std::string kSetup = "/setup.exe";
// A row's name is text from the package: the report must show it escaped.
const std::string kIconName = "product\x1b[2J\xE2\x80\xAE\xC2\x9Bico";

const pack::memory::Bytes& package() {
    static const pack::memory::Bytes bytes(513, 0xA5);
    return bytes;
}

// The sizes of the icon `row` holds, or nothing when the icon reader refuses it.
std::optional<std::vector<pack::IconSize>> iconSizes(const pack::memory::Bytes& row) {
    pack::MemorySource source(row);
    try {
        std::vector<pack::IconSize> sizes;
        for (const pack::IconImage& image : pack::readIcon(source)) {
            sizes.push_back(image.size());
        }
        return sizes;
    } catch (const pack::FormatError&) {
        return std::nullopt;
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace pack;
    memory::reset();
    memory::files()[kLauncher] = fuzz::testLauncher();
    memory::files()[kPackage] = package();
    memory::properties() = {{"ProductCode", "{6F1C2B9E-4D7A-4E35-A0B8-93C5D2E1F604}"},
                            {"ProductName", "Iconic"},
                            {"ARPPRODUCTICON", kIconName}};
    memory::iconRows()[kIconName].assign(data, data + size);
    const std::optional<std::vector<IconSize>> icon = iconSizes(memory::iconRows()[kIconName]);
    fuzz::require(fuzz::runPacker({"--launcher", kLauncher, kPackage, kSetup}) == 0,
                  "a pack to succeed whatever the package's Icon row holds");
    fuzz::require(fuzz::printed(platform::Stream::Out, "Icon: "), "a report line on the setup's icon");
    if (!icon) {
        fuzz::require(fuzz::printed(platform::Stream::Err, "kestrel-pack: "),
                      "a warning on standard error for an Icon row that cannot be used");
    }
    fuzz::require(fuzz::runPacker({"--info", kSetup}) == 0, "--info to read the setup the packer wrote");
    const SetupFacts facts = inspectSetup(kSetup);
    fuzz::require(facts.packageIsWhole() && facts.packageSize == package().size(), "the setup's package whole");
    fuzz::require(describeIconSizes(facts.iconSizes) == describeIconSizes(icon.value_or(std::vector<IconSize>())),
                  "the setup to wear the row's icon, or none where the row cannot be used");
    fuzz::requireLauncherKept(memory::files()[kLauncher], memory::files()[kSetup], icon.has_value());
    fuzz::requireShortIconLines();
    return 0;
}
