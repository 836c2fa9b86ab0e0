// Building and reading VS_VERSIONINFO: nested blocks of length, value length, type, key and value, 32-bit aligned.
#include "VersionBlock.h"

#include "PackError.h"
#include "bytes/Bytes.h"
#include "bytes/Region.h"
#include "text/Ascii.h"
#include "text/Utf.h"

#include <algorithm>
#include <limits>

namespace pack {

namespace {

constexpr uint16_t kCodePageUtf16 = 1200;
// Every block, key and value starts on a 32-bit boundary.
constexpr uint64_t kBlockAlignment = 4;
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
    void alignTo32Bits() { bytes_.resize(static_cast<size_t>(alignUp(bytes_.size(), kBlockAlignment)), 0); }

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

// One block as read: its key, where its value starts, where its children start and where it ends.
struct ReadBlock {
    std::u16string key;
    uint64_t value = 0;
    uint64_t children = 0;
    uint64_t end = 0;
};

// The block at `at` of `bytes`, which ends at `limit` at the latest.
ReadBlock readBlock(const Region& bytes, uint64_t at, uint64_t limit) {
    if (at + 6 > limit) {
        bytes.refuse();
    }
    const uint16_t length = bytes.le16(at);
    const uint16_t valueLength = bytes.le16(at + 2);
    const uint16_t type = bytes.le16(at + 4);
    if (length < 6 || at + length > limit) {
        bytes.refuse();
    }
    ReadBlock block;
    block.end = at + length;
    uint64_t next = at + 6;
    for (; next + 2 <= block.end && bytes.le16(next) != 0; next += 2) {
        block.key += static_cast<char16_t>(bytes.le16(next));
    }
    block.value = alignUp(next + 2, kBlockAlignment);
    block.children =
        alignUp(block.value + (type == kTextValue ? uint64_t{valueLength} * 2 : valueLength), kBlockAlignment);
    return block;
}

// The blocks directly inside `parent`, in order.
std::vector<ReadBlock> childrenOf(const Region& bytes, const ReadBlock& parent) {
    std::vector<ReadBlock> children;
    for (uint64_t at = parent.children; at < parent.end; at = alignUp(children.back().end, kBlockAlignment)) {
        children.push_back(readBlock(bytes, at, parent.end));
    }
    return children;
}

// The texts of the first string table; emplace keeps the first of equal names.
VersionStrings readStrings(const Region& bytes) {
    VersionStrings strings;
    const ReadBlock root = readBlock(bytes, 0, bytes.size());
    for (const ReadBlock& info : childrenOf(bytes, root)) {
        if (info.key != u"StringFileInfo") {
            continue;
        }
        const std::vector<ReadBlock> tables = childrenOf(bytes, info);
        for (const ReadBlock& entry : tables.empty() ? tables : childrenOf(bytes, tables.front())) {
            std::u16string value;
            for (uint64_t at = entry.value; at + 2 <= entry.end && bytes.le16(at) != 0; at += 2) {
                value += static_cast<char16_t>(bytes.le16(at));
            }
            strings.emplace(entry.key, std::move(value));
        }
        break;
    }
    return strings;
}

const char kDamagedBlock[] = "its version block is damaged";

} // namespace

bool VersionNameLess::operator()(const std::u16string& first, const std::u16string& second) const {
    return lessIgnoringAsciiCase(first, second);
}

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
    // Named by its language and code page in hexadecimal: "040904b0".
    const std::string tableName =
        hexDigits(info.language, 4, HexCase::Lower) + hexDigits(kCodePageUtf16, 4, HexCase::Lower);
    const size_t table = writer.open(toUtf16(tableName), 0, kTextValue);
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

VersionStrings readVersionStrings(ByteView block) {
    MemorySource source(block);
    return readStrings(Region(source, 0, block.size, kDamagedBlock));
}

// Read from the source once, as a block is small and its fields are read two bytes at a time; the view stays valid
// while the block is parsed, as nothing else reads the source meanwhile.
VersionStrings readVersionStrings(const ResourceData& resource) {
    const Region stored(*resource.source, resource.offset, std::min(resource.size, kMaxVersionBlock), kDamagedBlock);
    return readVersionStrings(stored.read(0, stored.size()));
}

} // namespace pack
