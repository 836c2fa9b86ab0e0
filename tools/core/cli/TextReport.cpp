// The report lines for people: labels aligned, sizes with thousands separated, texts from the file escaped.
#include "TextReport.h"

#include "resources/Icon.h"
#include "text/Text.h"

namespace pack {

namespace {

std::string formatSize(uint64_t bytes) {
    std::string digits = std::to_string(bytes);
    for (size_t end = digits.size(); end > 3; end -= 3) {
        digits.insert(end - 3, 1, ',');
    }
    return digits + " bytes";
}

} // namespace

std::vector<std::string> packReport(const PackSummary& summary) {
    std::string product = "Packed " + (summary.productName.empty() ? std::string("a product without name")
                                                                   : printable(summary.productName));
    if (!summary.productVersion.empty()) {
        product += " " + printable(summary.productVersion);
    }
    if (!summary.manufacturer.empty()) {
        product += " by " + printable(summary.manufacturer);
    }
    return {product + ", product code " + summary.productCode,
            "Wrote " + summary.outputPath + " with a package of " + formatSize(summary.packageSize),
            "Icon: " + summary.icon};
}

std::vector<std::string> infoReport(const SetupFacts& facts) {
    std::vector<std::string> lines;
    const auto line = [&lines](const char* label, const std::string& value) { lines.push_back(label + value); };
    const auto orNone = [](const std::string& value) { return value.empty() ? std::string("(none)") : value; };
    std::string digest = facts.digestMalformed ? "malformed, so the package cannot be checked" : "no digest";
    if (facts.storedDigest) {
        digest = *facts.storedDigest + (facts.packageIsWhole()
                                            ? ", the package matches it"
                                            : ", the package does NOT match it (" + facts.packageDigest + ")");
    }
    line("Setup:        ", facts.setupPath);
    line("Product:      ", orNone(printable(facts.productName)));
    line("Version:      ", orNone(printable(facts.productVersion)));
    line("Manufacturer: ", orNone(printable(facts.manufacturer)));
    line("Product code: ", orNone(printable(facts.productCode)));
    line("Package:      ", formatSize(facts.packageSize));
    line("Digest:       ", digest);
    line("Signature:    ", facts.signature ? "present (Authenticode, not verified)" : "absent");
    line("Icon:         ", !facts.iconDamage.empty() ? "damaged: " + facts.iconDamage
                           : facts.iconSizes.empty() ? std::string("none")
                                                     : describeIconSizes(facts.iconSizes));
    line("Packed by:    ",
         facts.packerVersion.empty() ? std::string("(not recorded)") : "Kestrel " + printable(facts.packerVersion));
    return lines;
}

std::string extractReport(const SetupFacts& facts, const std::string& outputPath) {
    return "Extracted a package of " + formatSize(facts.packageSize) + " to " + outputPath;
}

} // namespace pack
