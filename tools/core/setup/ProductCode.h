// Product codes: GUID text as a package states it, and the braced upper-case form a setup carries.
#pragma once

#include <cstddef>
#include <optional>
#include <string>

namespace pack {

// "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}" in upper case from the braced form, the same without braces, without
// dashes, or without both, in either case; nothing for any other text.
std::optional<std::string> canonicalProductCode(const std::string& text);

// How many characters of a product code that is no GUID are shown.
constexpr size_t kShownProductCodeLength = 64;

} // namespace pack
