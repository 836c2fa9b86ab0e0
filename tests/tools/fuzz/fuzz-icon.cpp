// Fuzz target: any file as the setup's icon; a written setup must read back whole with the icon's images.
#include "MemoryPlatform.h"
#include "PackError.h"
#include "Require.h"
#include "resources/Icon.h"
#include "setup/Packer.h"
#include "setup/SetupReader.h"

#include <array>
#include <cstdint>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

namespace {

const std::string kLauncher = "/launcher.exe";
const std::string kPackage = "/product.msi";
const std::string kIcon = "/icon.ico";
const std::string kSetup = "/setup.exe";

// The launcher the build made, read once.
const pack::memory::Bytes& launcher() {
    static const pack::memory::Bytes bytes = [] {
        std::ifstream file(KR_FUZZ_LAUNCHER, std::ios::binary);
        pack::memory::Bytes read((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
        fuzz::require(!read.empty(), std::string("the launcher to read at ") + KR_FUZZ_LAUNCHER);
        return read;
    }();
    return bytes;
}

const pack::memory::Bytes& package() {
    static const pack::memory::Bytes bytes(777, 0x5A);
    return bytes;
}

// An icon image's directory fields and bytes, apart from where they are.
struct ImageBytes {
    std::array<uint8_t, 8> entry;
    pack::memory::Bytes data;

    bool operator==(const ImageBytes& other) const { return entry == other.entry && data == other.data; }
};

// The images of the icon in `file`, or nothing when the icon reader refuses it.
std::optional<std::vector<ImageBytes>> iconImages(const std::string& file) {
    pack::MemorySource source(pack::memory::files()[file]);
    std::vector<pack::IconImage> images;
    try {
        images = pack::readIcon(source);
    } catch (const pack::FormatError&) {
        return std::nullopt;
    }
    std::vector<ImageBytes> copies;
    for (const pack::IconImage& image : images) {
        const pack::ByteView data = image.data.source->read(image.data.offset, image.data.size);
        copies.push_back(ImageBytes{image.entry, pack::memory::Bytes(data.data, data.data + data.size)});
    }
    return copies;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace pack;
    memory::reset();
    memory::files()[kIcon].assign(data, data + size);
    memory::files()[kLauncher] = launcher();
    memory::files()[kPackage] = package();
    memory::properties() = {{"ProductCode", "{6F1C2B9E-4D7A-4E35-A0B8-93C5D2E1F604}"}, {"ProductName", "Iconic"}};
    const std::optional<std::vector<ImageBytes>> icon = iconImages(kIcon);
    try {
        pack::pack(PackRequest{kLauncher, kPackage, kSetup, IconChoice::FromFile, kIcon});
    } catch (const Error&) {
        fuzz::require(memory::files().size() == 3, "a refused pack to leave no output");
        return 0;
    }
    fuzz::require(icon.has_value(), "a pack to refuse an icon that the icon reader refuses");
    const SetupFacts facts = inspectSetup(kSetup);
    fuzz::require(facts.packageIsWhole() && facts.packageSize == package().size(), "the setup's package whole");
    std::vector<IconSize> sizes;
    for (const ImageBytes& image : *icon) {
        sizes.push_back(IconImage{image.entry, ResourceData{}}.size());
    }
    fuzz::require(describeIconSizes(facts.iconSizes) == describeIconSizes(sizes),
                  "the setup's icon sizes " + describeIconSizes(sizes) + ", not " +
                      describeIconSizes(facts.iconSizes));
    fuzz::require(iconImages(kSetup) == icon, "the setup's icon to carry the icon's images byte for byte");
    return 0;
}
