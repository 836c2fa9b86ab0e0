// Fuzz target: the input describes a launcher's shape (resource trees up to and past the reader's bounds, shared
// names and data, icon groups, and where its entry point, data directories and debug data lie) and the package's
// icon; the launcher is packed, and a written setup must read back whole and keep the launcher's code and data.
#include "resources/Icon.h"
#include "MemoryPlatform.h"
#include "PackChecks.h"
#include "PackError.h"
#include "Require.h"
#include "setup/SetupReader.h"
#include "ShapedLauncher.h"
#include "resources/VersionBlock.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstdint>
#include <string>

namespace {

using fuzz::LauncherShape;
using fuzz::Place;
using fuzz::ShapeId;
using pack::memory::Bytes;

const std::string kLauncher = "/launcher.exe";
const std::string kPackage = "/product.msi";
const std::string kSetup = "/setup.exe";
const std::string kExtracted = "/extracted.msi";
const std::string kIconName = "product.ico";

// A little past what the reader allows (2^17 entries, 2^20 name units), so that both sides of each bound are tried.
constexpr uint32_t kEntryBudget = (1u << 17) + 64;
constexpr uint64_t kTextBudget = (uint64_t{1} << 20) + 4096;
constexpr uint32_t kBitmapSize = 48;

// More than a page, so that the resource section grows past its next page and the sections after it move.
const Bytes& package() {
    static const Bytes bytes(6000, 0x3C);
    return bytes;
}

// A 16-pixel bitmap image's header and a few bytes that tell it from the others.
Bytes bitmapImage(uint32_t index) {
    Bytes image(kBitmapSize);
    pack::putLe32(image.data(), 40);
    pack::putLe32(image.data() + 4, 16);
    pack::putLe32(image.data() + 8, 32);
    pack::putLe16(image.data() + 12, 1);
    pack::putLe16(image.data() + 14, 32);
    pack::putLe32(image.data() + 40, index);
    return image;
}

// An .ico of `count` 16-pixel bitmaps.
Bytes iconFile(uint32_t count) {
    Bytes icon(6 + count * (16 + kBitmapSize));
    pack::putLe16(icon.data() + 2, 1);
    pack::putLe16(icon.data() + 4, static_cast<uint16_t>(count));
    for (uint32_t i = 0; i < count; ++i) {
        uint8_t* const entry = icon.data() + 6 + 16 * i;
        entry[0] = 16;
        entry[1] = 16;
        pack::putLe16(entry + 4, 1);
        pack::putLe16(entry + 6, 32);
        pack::putLe32(entry + 8, kBitmapSize);
        const uint32_t offset = 6 + 16 * count + kBitmapSize * i;
        pack::putLe32(entry + 12, offset);
        const Bytes image = bitmapImage(i);
        std::copy(image.begin(), image.end(), icon.begin() + offset);
    }
    return icon;
}

ShapeId number(uint16_t value) { return ShapeId{false, value, 0}; }

uint32_t addText(LauncherShape& shape, std::u16string text) {
    shape.texts.push_back(std::move(text));
    return static_cast<uint32_t>(shape.texts.size() - 1);
}

uint32_t addDatum(LauncherShape& shape, Bytes datum) {
    shape.data.push_back(std::move(datum));
    return static_cast<uint32_t>(shape.data.size() - 1);
}

// The launcher's version block, which marks it as a Kestrel launcher, and its own icon groups and images: each
// group names up to four of the images 1 to 8, of which only some are present.
void addLauncherResources(FuzzedDataProvider& input, LauncherShape& shape) {
    pack::VersionInfo version;
    version.version = {1, 0, 0, 0};
    version.language = 0x0409;
    version.strings = {{u"KestrelLauncher", u"1"}};
    const uint32_t block = addDatum(shape, pack::buildVersionBlock(version));
    shape.types.push_back({number(pack::kResourceTypeVersion), {{number(1), {block}}}});

    const uint8_t present = input.ConsumeIntegral<uint8_t>();
    const uint32_t groups = input.ConsumeIntegralInRange<uint32_t>(0, 3);
    fuzz::ShapeType images{number(pack::kResourceTypeIcon), {}};
    for (uint16_t id = 1; id <= 8; ++id) {
        if (present & (1u << (id - 1))) {
            images.names.push_back({number(id), {addDatum(shape, bitmapImage(0x100 + id))}});
        }
    }
    fuzz::ShapeType directories{number(pack::kResourceTypeIconGroup), {}};
    for (uint16_t group = 1; group <= groups; ++group) {
        const uint32_t count = input.ConsumeIntegralInRange<uint32_t>(1, 4);
        Bytes directory(6 + 14 * count);
        pack::putLe16(directory.data() + 2, 1);
        pack::putLe16(directory.data() + 4, static_cast<uint16_t>(count));
        for (uint32_t i = 0; i < count; ++i) {
            uint8_t* const entry = directory.data() + 6 + 14 * i;
            entry[0] = 16;
            entry[1] = 16;
            pack::putLe16(entry + 4, 1);
            pack::putLe16(entry + 6, 32);
            pack::putLe32(entry + 8, kBitmapSize);
            pack::putLe16(entry + 12, input.ConsumeIntegralInRange<uint16_t>(1, 8));
        }
        directories.names.push_back({number(group), {addDatum(shape, std::move(directory))}});
    }
    if (!images.names.empty()) {
        shape.types.push_back(std::move(images));
    }
    if (!directories.names.empty()) {
        shape.types.push_back(std::move(directories));
    }
}

// `count` distinct names of `length` letters: an index in base 26 before a filler or, with `sharedStart`, after
// it, so that names alike up to their last letters cost a comparison their whole length.
std::vector<uint32_t> addNames(LauncherShape& shape, uint32_t count, uint32_t length, bool sharedStart) {
    std::vector<uint32_t> texts;
    for (uint32_t i = 0; i < count; ++i) {
        std::u16string digits;
        for (uint32_t rest = i, width = count - 1; width > 0 || digits.empty(); rest /= 26, width /= 26) {
            digits.insert(digits.begin(), static_cast<char16_t>(u'A' + rest % 26));
        }
        const std::u16string filler(length > digits.size() ? length - digits.size() : 0, u'X');
        texts.push_back(addText(shape, sharedStart ? filler + digits : digits + filler));
    }
    return texts;
}

// Up to three more types: many names, long names, names shared between types, many languages, one datum for all.
void addGeneratedTypes(FuzzedDataProvider& input, LauncherShape& shape) {
    uint64_t entriesLeft = kEntryBudget;
    uint64_t textLeft = kTextBudget;
    std::vector<uint32_t> lastTexts;
    const uint32_t typeCount = input.ConsumeIntegralInRange<uint32_t>(0, 3);
    for (uint32_t t = 0; t < typeCount && entriesLeft > 2; ++t) {
        const uint32_t kind = input.ConsumeIntegralInRange<uint32_t>(0, 2);
        uint32_t names = input.ConsumeIntegralInRange<uint32_t>(1, 0xFFFF);
        const uint32_t length = input.ConsumeIntegralInRange<uint32_t>(0, 0xFFFF);
        const bool sharedStart = input.ConsumeBool();
        const bool sharedTexts = input.ConsumeBool();
        uint32_t languages = input.ConsumeIntegralInRange<uint32_t>(1, 0xFFFF);
        const uint32_t dataSize = input.ConsumeIntegralInRange<uint32_t>(0, 16);
        const bool oneDatum = input.ConsumeBool();

        names = static_cast<uint32_t>(std::min<uint64_t>(names, (entriesLeft - 1) / 2));
        languages = static_cast<uint32_t>(std::min<uint64_t>(languages, (entriesLeft - 1 - names) / names));
        entriesLeft -= 1 + names + uint64_t{names} * languages;

        ShapeId typeId = kind == 0 ? number(pack::kResourceTypeRawData) : number(static_cast<uint16_t>(0x100 + t));
        if (kind == 2) {
            typeId = ShapeId{true, 0, addText(shape, u"TYPE" + std::u16string(1, static_cast<char16_t>(u'A' + t)))};
        }
        std::vector<uint32_t> texts;
        if (sharedTexts && lastTexts.size() >= names) {
            texts.assign(lastTexts.begin(), lastTexts.begin() + names);
        } else if (length > 0 && uint64_t{names} * length <= textLeft) {
            texts = addNames(shape, names, length, sharedStart);
            textLeft -= uint64_t{names} * length;
        }
        fuzz::ShapeType type{typeId, {}};
        const uint32_t shared = oneDatum ? addDatum(shape, Bytes(dataSize, 0xD0)) : 0;
        for (uint32_t n = 0; n < names; ++n) {
            fuzz::ShapeName name{texts.empty() ? number(static_cast<uint16_t>(n + 1)) : ShapeId{true, 0, texts[n]}, {}};
            for (uint32_t l = 0; l < languages; ++l) {
                Bytes datum(dataSize, static_cast<uint8_t>(n * 31 + l));
                name.data.push_back(oneDatum ? shared : addDatum(shape, std::move(datum)));
            }
            type.names.push_back(std::move(name));
        }
        if (!texts.empty()) {
            lastTexts = texts;
        }
        shape.types.push_back(std::move(type));
    }
}

Place placeOf(FuzzedDataProvider& input) { return static_cast<Place>(input.ConsumeIntegralInRange<uint8_t>(0, 3)); }

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace pack;
    FuzzedDataProvider input(data, size);
    LauncherShape shape;
    shape.tail = input.ConsumeBool();
    shape.entryPoint = std::max(placeOf(input), Place::Code);
    shape.exceptions = placeOf(input);
    shape.tls = placeOf(input);
    shape.loadConfig = placeOf(input);
    shape.importAddresses = placeOf(input);
    shape.debugDirectory = placeOf(input);
    shape.debugData = std::max(placeOf(input), Place::Code);
    const uint32_t iconImages = input.ConsumeIntegralInRange<uint32_t>(0, 0xFFFF);
    addLauncherResources(input, shape);
    addGeneratedTypes(input, shape);

    memory::reset();
    memory::files()[kLauncher] = fuzz::shapedLauncher(shape);
    memory::files()[kPackage] = package();
    memory::properties() = {{"ProductCode", "{6F1C2B9E-4D7A-4E35-A0B8-93C5D2E1F604}"}, {"ProductName", "Shaped"}};
    if (iconImages > 0) {
        memory::properties()["ARPPRODUCTICON"] = kIconName;
        memory::iconRows()[kIconName] = iconFile(iconImages);
    }
    if (fuzz::runPacker({"--launcher", kLauncher, kPackage, kSetup}) != 0) {
        fuzz::require(memory::files().count(kSetup) == 0, "a refused pack to leave no setup");
        return 0;
    }
    fuzz::requireReadsBack(kSetup, kExtracted, package());
    fuzz::requireLauncherKept(memory::files()[kLauncher], memory::files()[kSetup], iconImages > 0);
    fuzz::requireShortIconLines();
    return 0;
}
