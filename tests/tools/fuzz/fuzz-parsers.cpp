// Fuzz target: the same bytes as a version block, as product code text and as UTF-8, with round trips.
#include "PackError.h"
#include "Require.h"
#include "resources/VersionBlock.h"
#include "setup/ProductCode.h"
#include "text/Utf.h"

#include <cstdint>
#include <map>
#include <string>

namespace {

bool isCanonicalCode(const std::string& code) {
    if (code.size() != 38 || code.front() != '{' || code.back() != '}') {
        return false;
    }
    for (size_t i = 1; i + 1 < code.size(); ++i) {
        const char c = code[i];
        const bool dashPlace = i == 9 || i == 14 || i == 19 || i == 24;
        if (dashPlace ? c != '-' : !((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'))) {
            return false;
        }
    }
    return true;
}

// The strings read from a block, written into a block of their own, read back the same; and so they do when each
// key is repeated with another value after them, as Windows shows the first of repeated keys.
void requireVersionRoundTrip(const pack::VersionStrings& strings) {
    pack::VersionInfo info;
    info.version = {1, 2, 3, 4};
    info.language = 0x0409;
    info.strings.assign(strings.begin(), strings.end());
    for (bool repeated : {false, true}) {
        if (repeated) {
            for (const auto& [key, value] : strings) {
                info.strings.emplace_back(key, u" and again " + value);
            }
        }
        std::vector<uint8_t> block;
        try {
            block = pack::buildVersionBlock(info);
        } catch (const pack::Error&) {
            return; // more text than one block can hold
        }
        fuzz::require(pack::readVersionStrings(pack::ByteView{block.data(), block.size()}) == strings,
                      repeated ? "the first of repeated version keys to be read, as Windows reads it"
                               : "a built version block to read back as built");
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    try {
        requireVersionRoundTrip(pack::readVersionStrings(pack::ByteView{data, size}));
    } catch (const pack::FormatError&) {
    }

    const std::string text(reinterpret_cast<const char*>(data), size);
    if (const std::optional<std::string> code = pack::canonicalProductCode(text)) {
        fuzz::require(isCanonicalCode(*code), "a product code in the braced upper-case form, not " + *code);
        fuzz::require(pack::canonicalProductCode(*code) == code, "a canonical product code to stay as it is");
    }
    const std::u16string once = pack::toUtf16(text);
    fuzz::require(pack::toUtf16(pack::toUtf8(once)) == once, "UTF-16 from any bytes to survive a UTF-8 round trip");
    pack::parseFixedVersion(text);
    return 0;
}
