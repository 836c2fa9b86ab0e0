// Fuzz target: any file as the setup's icon (--icon); a written setup must read back whole with the icon's images.
#include "MemoryPlatform.h"
#include "PackChecks.h"
#include "PackError.h"
#include "Require.h"
#include "TestLauncher.h"
#include "resources/Icon.h"
#include "setup/Packer.h"
#include "setup/SetupReader.h"

#include <array>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

namespace {

const std::string kLauncher = "/launcher.exe";
const std::string kPackage = "/product.msi";
const std::string kIcon = "/icon.ico";
const std::string kSetup = "/setup.exe";
constexpr uint8_t kPngSignature[] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};

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

uint32_t bigEndian32(const uint8_t* at) {
    return static_cast<uint32_t>(at[0]) << 24 | static_cast<uint32_t>(at[1]) << 16 |
           static_cast<uint32_t>(at[2]) << 8 | at[3];
}

// A PNG image begins with its header chunk, whose size is the directory entry's (0 there: 256 or more).
void requirePngHeader(const ImageBytes& image) {
    const pack::memory::Bytes& data = image.data;
    if (data.size() < sizeof(kPngSignature) || std::memcmp(data.data(), kPngSignature, sizeof(kPngSignature)) != 0) {
        return;
    }
    constexpr size_t kHeaderEnd = 8 + 8 + 13 + 4;
    fuzz::require(data.size() >= kHeaderEnd && bigEndian32(data.data() + 8) == 13 &&
                      std::memcmp(data.data() + 12, "IHDR", 4) == 0,
                  "a PNG image to begin with its header chunk");
    const auto fits = [](uint8_t field, uint32_t pixels) { return field == 0 ? pixels >= 256 : pixels == field; };
    fuzz::require(fits(image.entry[0], bigEndian32(data.data() + 16)) &&
                      fits(image.entry[1], bigEndian32(data.data() + 20)),
                  "a PNG image of the size its directory entry states");
}

// A 32-bit Windows image: "MZ", and at the offset it names, "PE\0\0" and an optional header of magic 0x10B.
bool isPe32(const pack::memory::Bytes& file) {
    if (file.size() < 0x40 || pack::getLe16(file.data()) != pack::pe::kDosSignature) {
        return false;
    }
    const uint64_t nt = pack::getLe32(file.data() + 0x3C);
    return nt + 26 <= file.size() && pack::getLe32(file.data() + nt) == 0x4550 &&
           pack::getLe16(file.data() + nt + 24) == 0x10B;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace pack;
    memory::reset();
    memory::files()[kIcon].assign(data, data + size);
    memory::files()[kLauncher] = fuzz::testLauncher();
    memory::files()[kPackage] = package();
    memory::properties() = {{"ProductCode", "{6F1C2B9E-4D7A-4E35-A0B8-93C5D2E1F604}"}, {"ProductName", "Iconic"}};
    const std::optional<std::vector<ImageBytes>> icon = iconImages(kIcon);
    if (fuzz::runPacker({"--launcher", kLauncher, "--icon", kIcon, kPackage, kSetup}) != 0) {
        fuzz::require(memory::files().size() == 3, "a refused pack to leave no output");
        fuzz::require(!isPe32(memory::files()[kIcon]) || !fuzz::printed(platform::Stream::Err, "not a 64-bit image"),
                      "a 32-bit executable to be read as an icon source as a 64-bit one is");
        return 0;
    }
    fuzz::require(icon.has_value(), "a pack to refuse an icon that the icon reader refuses");
    for (const ImageBytes& image : *icon) {
        requirePngHeader(image);
    }
    fuzz::require(fuzz::runPacker({"--info", kSetup}) == 0, "--info to read the setup the packer wrote");
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
    fuzz::requireLauncherKept(memory::files()[kLauncher], memory::files()[kSetup], true);
    fuzz::requireShortIconLines();
    return 0;
}
