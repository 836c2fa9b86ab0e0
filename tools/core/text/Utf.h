// Text conversion between UTF-8, the packer's text, and UTF-16, the text of resource names and version blocks.
#pragma once

#include <string>

namespace pack {

// Each malformed sequence, and each unpaired surrogate, becomes U+FFFD.
std::u16string toUtf16(const std::string& utf8);
std::string toUtf8(const std::u16string& utf16);

} // namespace pack
