// Building VS_VERSIONINFO: nested blocks of length, value length, type, key and value, each aligned to 32 bits.
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

} // namespace pack
