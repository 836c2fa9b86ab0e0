// The package reading child: kestrel-pack.exe re-run with reader::kOption serves one request and exits.
#pragma once

#include <string>
#include <vector>

namespace pack::platform {

// Reads what `arguments` (those after the option) ask of the package with msi.dll, writes the answer to standard
// output and returns the exit code: 0 answered, 2 no request. A crash ends the process at once with the
// exception's code, with no error box and no debugger.
int runPackageReader(const std::vector<std::string>& arguments);

} // namespace pack::platform
