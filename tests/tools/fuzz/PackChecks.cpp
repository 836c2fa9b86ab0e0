// The harnesses' checks of printed text and of a setup against its launcher, read with the image reader's layout.
#include "PackChecks.h"

#include "cli/Command.h"
#include "resources/Icon.h"
#include "PackError.h"
#include "pe/PeImage.h"
#include "Require.h"
#include "text/Utf.h"

#include <algorithm>
#include <cstdint>
#include <map>
#include <optional>

namespace fuzz {

namespace {

using pack::memory::Bytes;

// More than any check needs, and few enough to keep an input with huge sizes quick.
constexpr uint64_t kMaxCompared = uint64_t{1} << 20;
constexpr size_t kMaxIconLine = 1024;
constexpr uint32_t kEntryWindow = 64;
constexpr uint32_t kDebugEntrySize = 28;
constexpr uint32_t kMaxDebugEntries = 16;
constexpr uint32_t kEntryPointField = 16;

bool isPrintable(char16_t c) {
    const bool control = c < 0x20 || (c >= 0x7F && c <= 0x9F);
    const bool separator = c == 0x2028 || c == 0x2029;
    const bool reordering = c == 0x061C || c == 0x200E || c == 0x200F || (c >= 0x202A && c <= 0x202E) ||
                            (c >= 0x2066 && c <= 0x2069);
    return !control && !separator && !reordering;
}

// An image as the loader maps it, read from bytes that outlive it.
class Mapped {
public:
    explicit Mapped(const Bytes& file) : file_(file), source_(file), image_(source_) {}

    const pack::PeImage& image() const { return image_; }
    uint32_t optionalField(uint32_t offset) const {
        return pack::getLe32(file_.data() + image_.layout().offsets.optionalHeader + offset);
    }

    // The bytes at [rva, rva + size), at most kMaxCompared of them: a section's raw data and the zeros past it,
    // the headers below SizeOfHeaders; -1 where nothing is mapped.
    std::vector<int> at(uint64_t rva, uint64_t size) const {
        const uint64_t end = rva + std::min(size, kMaxCompared);
        std::vector<int> bytes;
        const std::vector<pack::SectionHeader>& sections = image_.layout().sections;
        for (uint64_t place = rva; place < end;) {
            if (place < image_.layout().sizeOfHeaders) {
                const uint64_t stop = std::min<uint64_t>(end, image_.layout().sizeOfHeaders);
                appendFile(place, stop - place, bytes);
                place = stop;
                continue;
            }
            const auto after = std::upper_bound(sections.begin(), sections.end(), place,
                                                [](uint64_t at, const pack::SectionHeader& s) {
                                                    return at < s.virtualAddress;
                                                });
            if (after != sections.begin()) {
                const pack::SectionHeader& section = *(after - 1);
                const uint64_t span = pack::alignUp(std::max(section.virtualSize, section.rawSize),
                                                    image_.layout().sectionAlignment);
                if (place < section.virtualAddress + span) {
                    const uint64_t offset = place - section.virtualAddress;
                    const uint64_t stop = std::min(end, section.virtualAddress + span);
                    const uint64_t fromFile = offset < section.rawSize
                                                  ? std::min<uint64_t>(section.rawSize - offset, stop - place)
                                                  : 0;
                    appendFile(section.rawPointer + offset, fromFile, bytes);
                    bytes.insert(bytes.end(), stop - place - fromFile, 0);
                    place = stop;
                    continue;
                }
            }
            const uint64_t stop = after == sections.end() ? end : std::min<uint64_t>(end, after->virtualAddress);
            bytes.insert(bytes.end(), stop - place, -1);
            place = stop;
        }
        return bytes;
    }

    // The file's bytes at [offset, offset + size), at most kMaxCompared of them; -1 past its end.
    std::vector<int> inFile(uint64_t offset, uint64_t size) const {
        std::vector<int> bytes;
        appendFile(offset, std::min(size, kMaxCompared), bytes);
        return bytes;
    }

private:
    void appendFile(uint64_t offset, uint64_t count, std::vector<int>& bytes) const {
        for (uint64_t i = 0; i < count; ++i) {
            bytes.push_back(offset + i < file_.size() ? file_[offset + i] : -1);
        }
    }

    const Bytes& file_;
    pack::MemorySource source_;
    pack::PeImage image_;
};

Bytes bytesOf(const pack::ResourceData& data) {
    const pack::ByteView view = data.source->read(data.offset, data.size);
    return Bytes(view.data, view.data + view.size);
}

std::string sectionName(const Bytes& file, const pack::PeImage& image, size_t index) {
    const uint8_t* at = file.data() + image.layout().offsets.sectionTable + index * pack::pe::kSectionHeaderSize;
    return std::string(at, at + 8);
}

void requireSectionsKept(const Bytes& launcherFile, const Mapped& launcher, const Bytes& setupFile,
                         const Mapped& setup) {
    const auto& before = launcher.image().layout().sections;
    const auto& after = setup.image().layout().sections;
    require(before.size() == after.size(), "the setup to have the launcher's sections");
    const size_t resources = launcher.image().rewritableResourceSection();
    for (size_t i = 0; i < before.size(); ++i) {
        if (i == resources) {
            continue;
        }
        const pack::SectionHeader& was = before[i];
        const pack::SectionHeader& is = after[i];
        const std::string which = "section " + std::to_string(i) + " of the launcher";
        require(sectionName(launcherFile, launcher.image(), i) == sectionName(setupFile, setup.image(), i) &&
                    was.virtualSize == is.virtualSize && was.rawSize == is.rawSize &&
                    was.characteristics == is.characteristics,
                "the setup to keep the header of " + which);
        require(i > resources || (was.virtualAddress == is.virtualAddress && was.rawPointer == is.rawPointer),
                "the setup to keep " + which + " in place, as it lies before the resources");
        require(launcher.inFile(was.rawPointer, was.rawSize) == setup.inFile(is.rawPointer, is.rawSize),
                "the setup to keep the bytes of " + which);
    }
}

void requireEntryAndDirectoriesKept(const Mapped& launcher, const Mapped& setup) {
    const uint32_t entry = launcher.optionalField(kEntryPointField);
    if (entry != 0) {
        require(launcher.at(entry, kEntryWindow) == setup.at(setup.optionalField(kEntryPointField), kEntryWindow),
                "the setup's entry point to show the launcher's code");
    }
    const auto& before = launcher.image().layout().directories;
    const auto& after = setup.image().layout().directories;
    require(before.size() == after.size(), "the setup to have the launcher's data directories");
    for (uint32_t d = 0; d < before.size(); ++d) {
        // The loader takes a directory of no address or no size for none.
        if (d == pack::pe::kDirectoryResource || d == pack::pe::kDirectorySecurity || before[d].rva == 0 ||
            before[d].size == 0) {
            continue;
        }
        require(before[d].size == after[d].size, "the setup to keep the size of data directory " + std::to_string(d));
        if (d == pack::pe::kDirectoryDebug) {
            continue;
        }
        require(launcher.at(before[d].rva, before[d].size) == setup.at(after[d].rva, after[d].size),
                "the setup's data directory " + std::to_string(d) + " to show the launcher's bytes");
    }
}

// A debug entry: its fields but where its data lies, and its data, by address and by file offset.
struct DebugEntry {
    std::vector<int> fields;
    std::vector<int> mappedData;
    std::vector<int> fileData;

    bool operator==(const DebugEntry& other) const {
        return fields == other.fields && mappedData == other.mappedData && fileData == other.fileData;
    }
};

std::vector<DebugEntry> debugEntries(const Mapped& image) {
    std::vector<DebugEntry> entries;
    const auto& directories = image.image().layout().directories;
    if (directories.size() <= pack::pe::kDirectoryDebug) {
        return entries;
    }
    const pack::DataDirectory debug = directories[pack::pe::kDirectoryDebug];
    if (debug.rva == 0) {
        return entries;
    }
    const uint32_t count = std::min(debug.size / kDebugEntrySize, kMaxDebugEntries);
    for (uint32_t i = 0; i < count; ++i) {
        const std::vector<int> raw = image.at(uint64_t{debug.rva} + i * kDebugEntrySize, kDebugEntrySize);
        const auto field = [&raw](size_t at) {
            uint32_t value = 0;
            for (size_t k = 0; k < 4; ++k) {
                value |= static_cast<uint32_t>(raw[at + k] & 0xFF) << (8 * k);
            }
            return value;
        };
        const uint32_t size = field(16);
        const uint32_t address = field(20);
        const uint32_t pointer = field(24);
        entries.push_back(DebugEntry{std::vector<int>(raw.begin(), raw.begin() + 20),
                                     address == 0 ? std::vector<int>() : image.at(address, size),
                                     pointer == 0 ? std::vector<int>() : image.inFile(pointer, size)});
    }
    return entries;
}

// The images an icon group names, each by its number, with its bytes in every language; none where it is missing.
std::map<uint16_t, std::map<uint16_t, Bytes>> namedImages(const pack::ResourceTree& resources,
                                                          const pack::ResourceData& group) {
    std::map<uint16_t, std::map<uint16_t, Bytes>> images;
    const Bytes directory = bytesOf(group);
    const size_t count = directory.size() >= 6 ? pack::getLe16(directory.data() + 4) : 0;
    for (size_t i = 0; i < count && 6 + (i + 1) * 14 <= directory.size(); ++i) {
        const uint16_t number = pack::getLe16(directory.data() + 6 + i * 14 + 12);
        std::map<uint16_t, Bytes>& languages = images[number];
        for (const uint16_t language : resources.languages(pack::kResourceTypeIcon, number)) {
            languages[language] = bytesOf(*resources.find(pack::kResourceTypeIcon, number, language));
        }
    }
    return images;
}

void requireResourcesKept(const pack::ResourceTree& launcher, const pack::ResourceTree& setup, bool iconPlaced) {
    std::optional<pack::ResourceId> firstGroup;
    const auto groups = launcher.types().find(pack::kResourceTypeIconGroup);
    if (iconPlaced && groups != launcher.types().end() && !groups->second.empty()) {
        firstGroup = groups->second.begin()->first;
    }
    const char* const everyResource = "the setup to keep every resource of the launcher";
    // Each type and name looked up once, so that the check stays linear in the tree whatever its names.
    for (const auto& [type, names] : launcher.types()) {
        const bool version = type.isNumber() && type.number == pack::kResourceTypeVersion;
        const bool icon = type.isNumber() && type.number == pack::kResourceTypeIcon;
        const bool group = type.isNumber() && type.number == pack::kResourceTypeIconGroup;
        if (version || (icon && iconPlaced)) {
            continue;
        }
        const auto keptType = setup.types().find(type);
        for (const auto& [name, languages] : names) {
            if (group && firstGroup && !(name < *firstGroup) && !(*firstGroup < name)) {
                continue;
            }
            require(keptType != setup.types().end(), everyResource);
            const auto keptName = keptType->second.find(name);
            require(keptName != keptType->second.end(), everyResource);
            for (const auto& [language, data] : languages) {
                const auto kept = keptName->second.find(language);
                require(kept != keptName->second.end(), everyResource);
                require(bytesOf(kept->second) == bytesOf(data), "the setup to keep the launcher's resource data");
                if (group) {
                    require(namedImages(setup, kept->second) == namedImages(launcher, data),
                            "every icon group of the launcher but the first to name the images it named, and "
                            "none where it named a missing one");
                }
            }
        }
    }
}

} // namespace

void requirePrintable() {
    for (const pack::memory::Line& line : pack::memory::lines()) {
        const std::u16string text = pack::toUtf16(line.text);
        require(std::all_of(text.begin(), text.end(), isPrintable),
                "plain text, every character from a file escaped, in the line: " + line.text);
    }
}

void requireShortIconLines() {
    for (const pack::memory::Line& line : pack::memory::lines()) {
        require(line.text.compare(0, 5, "Icon:") != 0 || line.text.size() <= kMaxIconLine,
                "an icon line of at most 1 KiB, not " + std::to_string(line.text.size()) + " bytes");
    }
}

bool printed(pack::platform::Stream stream, const std::string& text) {
    const auto& lines = pack::memory::lines();
    return std::any_of(lines.begin(), lines.end(), [&](const pack::memory::Line& line) {
        return line.stream == stream && line.text.find(text) != std::string::npos;
    });
}

int runPacker(const std::vector<std::string>& args) {
    const int code = pack::runCommand(args, "");
    std::string command;
    for (const std::string& arg : args) {
        command += " " + arg;
    }
    require(code == pack::kExitSuccess || code == pack::kExitFailure, "exit code 0 or 1 from kestrel-pack" + command);
    requirePrintable();
    return code;
}

void requireLauncherKept(const Bytes& launcherFile, const Bytes& setupFile, bool iconPlaced) {
    const Mapped launcher(launcherFile);
    std::optional<Mapped> setup;
    try {
        setup.emplace(setupFile);
    } catch (const pack::Error& error) {
        require(false, std::string("the setup to read as an image, not: ") + error.what());
    }
    requireSectionsKept(launcherFile, launcher, setupFile, *setup);
    requireEntryAndDirectoriesKept(launcher, *setup);
    require(debugEntries(launcher) == debugEntries(*setup),
            "the setup's debug entries to show the launcher's, and the data they point to");
    requireResourcesKept(launcher.image().resources(), setup->image().resources(), iconPlaced);
}

pack::SetupFacts requireReadsBack(const std::string& setup, const std::string& extracted, const Bytes& package) {
    require(runPacker({"--info", setup}) == 0, "--info to read the setup the packer wrote");
    pack::SetupFacts facts;
    try {
        facts = pack::extractPackage(setup, extracted, false);
    } catch (const pack::Error& error) {
        require(false, std::string("the packed setup to read back, not: ") + error.what());
    }
    require(facts.packageIsWhole() && pack::memory::files()[extracted] == package,
            "the package to come back byte for byte, matching its digest");
    return facts;
}

} // namespace fuzz
