// The report lines of each verb on standard output, for people: texts from files escaped, sizes in bytes.
#pragma once

#include "setup/Packer.h"
#include "setup/SetupReader.h"

#include <string>
#include <vector>

namespace pack {

// "Packed <product>, product code <code>", where the setup was written with how large a package, and its icon.
std::vector<std::string> packReport(const PackSummary& summary);

// --info: one labelled line a fact.
std::vector<std::string> infoReport(const SetupFacts& facts);

// --extract: how large a package went where (`outputPath`, absolute).
std::string extractReport(const SetupFacts& facts, const std::string& outputPath);

} // namespace pack
