// The raw-data resources that make a launcher a setup.
#pragma once

#include <string>

namespace pack {

// The launcher looks them up as "msi", "msi_digest" and "product_code"; resource names match without regard to
// case, and the resource compiler's own convention is upper case.
const std::u16string kPackageResource = u"MSI";
const std::u16string kDigestResource = u"MSI_DIGEST";
const std::u16string kProductCodeResource = u"PRODUCT_CODE";

} // namespace pack
