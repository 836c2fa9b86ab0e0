// The packer's version, from the build.
#include "Version.h"

namespace pack {

const char* packerVersion() { return KR_VERSION_TEXT; }

} // namespace pack
