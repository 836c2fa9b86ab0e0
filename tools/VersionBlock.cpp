// Building VS_VERSIONINFO: nested blocks of length, value length, type, key and value, each aligned to 32 bits.
#include "VersionBlock.h"

#include "ErrorHandling.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <string>

namespace pack {

namespace {

constexpr WORD kCodePageUtf16 = 1200;
constexpr WORD kBinaryValue = 0;
constexpr WORD kTextValue = 1;

class BlockWriter {
public:
    // Starts a block; `valueLength` counts bytes for binary values and characters (terminator included) for text.
    size_t open(const tstring& key, size_t valueLength, WORD type) {
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
    void close(size_t start) {
        const WORD length = checkedWord(bytes_.size() - start);
        std::memcpy(bytes_.data() + start, &length, sizeof(length));
    }

    void appendBytes(const void* data, size_t count) {
        const char* first = static_cast<const char*>(data);
        bytes_.insert(bytes_.end(), first, first + count);
    }

    void appendText(const tstring& text) { appendBytes(text.c_str(), (text.size() + 1) * sizeof(wchar_t)); }

    std::vector<char> take() { return std::move(bytes_); }

private:
    void appendWord(WORD value) { appendBytes(&value, sizeof(value)); }

    void alignTo32Bits() { bytes_.resize((bytes_.size() + 3) & ~static_cast<size_t>(3), '\0'); }

    static WORD checkedWord(size_t value) {
        if (value > std::numeric_limits<WORD>::max()) {
            KR_RAISE(MessageBuilder() << "The version block is too large (" << value << " bytes in one block)");
        }
        return static_cast<WORD>(value);
    }

    std::vector<char> bytes_;
};

// Two adjacent fields as one DWORD, the first in the high word.
DWORD joinFields(const FixedVersion& version, size_t first) {
    return static_cast<DWORD>(version[first]) << 16 | version[first + 1];
}

} // namespace

FixedVersion parseFixedVersion(const tstring& text) {
    FixedVersion version{};
    size_t position = 0;
    for (uint16_t& field : version) {
        const size_t end = std::min(text.find(L'.', position), text.size());
        const tstring digits = text.substr(position, end - position);
        if (digits.empty() || digits.size() > 5 || digits.find_first_not_of(L"0123456789") != tstring::npos) {
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

std::vector<char> buildVersionResource(const VersionInfo& info) {
    VS_FIXEDFILEINFO fixed = {};
    fixed.dwSignature = VS_FFI_SIGNATURE;
    fixed.dwStrucVersion = VS_FFI_STRUCVERSION;
    fixed.dwFileVersionMS = joinFields(info.version, 0);
    fixed.dwFileVersionLS = joinFields(info.version, 2);
    fixed.dwProductVersionMS = fixed.dwFileVersionMS;
    fixed.dwProductVersionLS = fixed.dwFileVersionLS;
    fixed.dwFileFlagsMask = VS_FFI_FILEFLAGSMASK;
    fixed.dwFileOS = VOS_NT_WINDOWS32;
    fixed.dwFileType = VFT_APP;

    BlockWriter writer;
    const size_t root = writer.open(L"VS_VERSION_INFO", sizeof(fixed), kBinaryValue);
    writer.appendBytes(&fixed, sizeof(fixed));

    const size_t stringFileInfo = writer.open(L"StringFileInfo", 0, kTextValue);
    const size_t table = writer.open(tstrings::formatText(L"%04x%04x", info.language, kCodePageUtf16), 0, kTextValue);
    for (const auto& [name, value] : info.strings) {
        const size_t entry = writer.open(name, value.size() + 1, kTextValue);
        writer.appendText(value);
        writer.close(entry);
    }
    writer.close(table);
    writer.close(stringFileInfo);

    const size_t varFileInfo = writer.open(L"VarFileInfo", 0, kTextValue);
    const DWORD translation = static_cast<DWORD>(kCodePageUtf16) << 16 | info.language;
    const size_t var = writer.open(L"Translation", sizeof(translation), kBinaryValue);
    writer.appendBytes(&translation, sizeof(translation));
    writer.close(var);
    writer.close(varFileInfo);

    writer.close(root);
    return writer.take();
}

} // namespace pack
