// Building and reading VS_VERSIONINFO: nested blocks of length, value length, type, key and value, 32-bit aligned.
#include "VersionBlock.h"

#include "Bytes.h"
#include "PackError.h"

#include <algorithm>
#include <limits>

namespace pack {

namespace {

constexpr uint16_t kCodePageUtf16 = 1200;
constexpr uint16_t kBinaryValue = 0;
constexpr uint16_t kTextValue = 1;

constexpr uint32_t kFixedSignature = 0xFEEF04BD;
constexpr uint32_t kFixedStructVersion = 0x00010000;
constexpr uint32_t kFixedFlagsMask = 0x3F;
constexpr uint32_t kFixedOsWindowsNt = 0x00040004;
constexpr uint32_t kFixedTypeApplication = 1;

class BlockWriter {
public:
    // Starts a block; `valueLength` counts bytes for binary values and characters (terminator included) for text.
    size_t open(const std::u16string& key, size_t valueLength, uint16_t type) {
        alignTo32Bits();
        const size_t start = bytes_.size();
        appendWord(0);
        appendWord(checkedWord(valueLength));
        appendWord(type);
        appendText(key);
        alignTo32Bits();
        return start;
    }

    // A block's length covers its children but not the padding after the last one.
    void close(size_t start) { putLe16(bytes_.data() + start, checkedWord(bytes_.size() - start)); }

    void appendWord(uint16_t value) {
        bytes_.push_back(static_cast<uint8_t>(value));
        bytes_.push_back(static_cast<uint8_t>(value >> 8));
    }

    void appendDword(uint32_t value) {
        appendWord(static_cast<uint16_t>(value));
        appendWord(static_cast<uint16_t>(value >> 16));
    }

    // The text and its terminator.
    void appendText(const std::u16string& text) {
        for (const char16_t unit : text) {
            appendWord(unit);
        }
        appendWord(0);
    }

    std::vector<uint8_t> take() { return std::move(bytes_); }

private:
    void alignTo32Bits() { bytes_.resize((bytes_.size() + 3) & ~size_t{3}, 0); }

    static uint16_t checkedWord(size_t value) {
        if (value > std::numeric_limits<uint16_t>::max()) {
            throw Error("The version block is too large (" + std::to_string(value) + " bytes in one block)");
        }
        return static_cast<uint16_t>(value);
    }

    std::vector<uint8_t> bytes_;
};

// Two adjacent fields as one 32-bit value, the first in the high half.
uint32_t joinFields(const FixedVersion& version, size_t first) {
    return static_cast<uint32_t>(version[first]) << 16 | version[first + 1];
}

std::u16string hex4(uint16_t value) {
    static const char16_t digits[] = u"0123456789abcdef";
    std::u16string text;
    for (int shift = 12; shift >= 0; shift -= 4) {
        text += digits[(value >> shift) & 0xF];
    }
    return text;
}

size_t alignedTo32Bits(size_t offset) { return (offset + 3) & ~size_t{3}; }

// One block as read: its key, where its value starts, where its children start and where it ends.
struct ReadBlock {
    std::u16string key;
    size_t value = 0;
    size_t children = 0;
    size_t end = 0;
};

ReadBlock readBlock(ByteView bytes, size_t at, size_t limit) {
    const auto refuseIf = [](bool damaged) {
        if (damaged) {
            throw FormatError("its version block is damaged");
        }
    };
    refuseIf(at + 6 > limit);
    const uint16_t length = getLe16(bytes.data + at);
    const uint16_t valueLength = getLe16(bytes.data + at + 2);
    const uint16_t type = getLe16(bytes.data + at + 4);
    refuseIf(length < 6 || at + length > limit);
    ReadBlock block;
    block.end = at + length;
    size_t next = at + 6;
    for (; next + 2 <= block.end && getLe16(bytes.data + next) != 0; next += 2) {
        block.key += static_cast<char16_t>(getLe16(bytes.data + next));
    }
    block.value = alignedTo32Bits(next + 2);
    block.children = alignedTo32Bits(block.value + (type == kTextValue ? size_t{valueLength} * 2 : valueLength));
    return block;
}

// The blocks directly inside `parent`, in order.
std::vector<ReadBlock> childrenOf(ByteView bytes, const ReadBlock& parent) {
    std::vector<ReadBlock> children;
    for (size_t at = parent.children; at < parent.end; at = alignedTo32Bits(children.back().end)) {
        children.push_back(readBlock(bytes, at, parent.end));
    }
    return children;
}

} // namespace

FixedVersion parseFixedVersion(const std::string& text) {
    FixedVersion version{};
    size_t position = 0;
    for (uint16_t& field : version) {
        const size_t end = std::min(text.find('.', position), text.size());
        const std::string digits = text.substr(position, end - position);
        if (digits.empty() || digits.size() > 5 || digits.find_first_not_of("0123456789") != std::string::npos) {
            break;
        }
        const unsigned long value = std::stoul(digits);
        if (value > std::numeric_limits<uint16_t>::max()) {
            break;
        }
        field = static_cast<uint16_t>(value);
        if (end == text.size()) {
            break;
        }
        position = end + 1;
    }
    return version;
}

std::vector<uint8_t> buildVersionBlock(const VersionInfo& info) {
    constexpr size_t kFixedSize = 13 * 4;
    BlockWriter writer;
    const size_t root = writer.open(u"VS_VERSION_INFO", kFixedSize, kBinaryValue);
    for (const uint32_t field : {kFixedSignature, kFixedStructVersion, joinFields(info.version, 0),
                                 joinFields(info.version, 2), joinFields(info.version, 0), joinFields(info.version, 2),
                                 kFixedFlagsMask, 0u, kFixedOsWindowsNt, kFixedTypeApplication, 0u, 0u, 0u}) {
        writer.appendDword(field);
    }

    const size_t stringFileInfo = writer.open(u"StringFileInfo", 0, kTextValue);
    const size_t table = writer.open(hex4(info.language) + hex4(kCodePageUtf16), 0, kTextValue);
    for (const auto& [name, value] : info.strings) {
        const size_t entry = writer.open(name, value.size() + 1, kTextValue);
        writer.appendText(value);
        writer.close(entry);
    }
    writer.close(table);
    writer.close(stringFileInfo);

    const size_t varFileInfo = writer.open(u"VarFileInfo", 0, kTextValue);
    const size_t translation = writer.open(u"Translation", 4, kBinaryValue);
    writer.appendWord(info.language);
    writer.appendWord(kCodePageUtf16);
    writer.close(translation);
    writer.close(varFileInfo);

    writer.close(root);
    return writer.take();
}

std::map<std::u16string, std::u16string> readVersionStrings(ByteView block) {
    std::map<std::u16string, std::u16string> strings;
    const ReadBlock root = readBlock(block, 0, block.size);
    for (const ReadBlock& info : childrenOf(block, root)) {
        if (info.key != u"StringFileInfo") {
            continue;
        }
        const std::vector<ReadBlock> tables = childrenOf(block, info);
        for (const ReadBlock& entry : tables.empty() ? tables : childrenOf(block, tables.front())) {
            std::u16string& value = strings[entry.key];
            for (size_t at = entry.value; at + 2 <= entry.end && getLe16(block.data + at) != 0; at += 2) {
                value += static_cast<char16_t>(getLe16(block.data + at));
            }
        }
        break;
    }
    return strings;
}

std::map<std::u16string, std::u16string> readVersionStrings(const ResourceData& resource) {
    return readVersionStrings(resource.source->read(resource.offset, std::min(resource.size, kMaxVersionBlock)));
}

} // namespace pack
