// The package reading child: kestrel-pack re-run with reader::kOption serves one request and exits.
#pragma once

#include <string>
#include <vector>

namespace pack::platform {

// Reads what `arguments` (those after the option) ask of the package with libmsi, writes the answer to standard
// output and returns the exit code: 0 answered, 2 no request. The library's log and output stay in this process.
int runPackageReader(const std::vector<std::string>& arguments);

} // namespace pack::platform
