// The resources that make a launcher a setup: raw data for the package, its digest and code, and a version block.
#pragma once

#include <cstdint>
#include <string_view>

namespace pack {

// The launcher looks them up as "msi", "msi_digest" and "product_code"; resource names match without regard to
// case, and the resource compiler's own convention is upper case.
constexpr std::u16string_view kPackageResource = u"MSI";
constexpr std::u16string_view kDigestResource = u"MSI_DIGEST";
constexpr std::u16string_view kProductCodeResource = u"PRODUCT_CODE";

// The version block's name, under the version type.
constexpr uint16_t kVersionResource = 1;
// The version block's text naming the Kestrel version that packed the setup, e.g. "1.0.0".
constexpr std::u16string_view kPackerVersionString = u"KestrelVersion";

} // namespace pack
