// The JSON report: fields in a fixed order, texts as JSON strings, absent facts as null.
#include "JsonReport.h"

#include "text/Text.h"

#include <initializer_list>

namespace pack {

namespace {

std::string jsonField(const char* name, const std::string& value) { return std::string("\"") + name + "\":" + value; }

std::string jsonObject(std::initializer_list<std::string> fields) {
    std::string object;
    for (const std::string& text : fields) {
        object += (object.empty() ? "{" : ",") + text;
    }
    return object + "}";
}

std::string iconJson(const std::vector<IconSize>& sizes) {
    if (sizes.empty()) {
        return "null";
    }
    std::string list;
    for (const IconSize& size : sizes) {
        list += (list.empty() ? "[" : ",") + jsonObject({jsonField("width", std::to_string(size.width)),
                                                          jsonField("height", std::to_string(size.height))});
    }
    return list + "]";
}

} // namespace

std::string infoJson(const SetupFacts& facts) {
    const auto field = jsonField;
    // A damaged icon adds "iconDamage", what is wrong with it; a whole icon, or none, adds nothing.
    const std::string iconDamage =
        facts.iconDamage.empty() ? std::string() : "," + field("iconDamage", jsonString(facts.iconDamage));
    return jsonObject({
        field("setup", jsonString(facts.setupPath)),
        field("productName", jsonString(facts.productName)),
        field("productVersion", jsonString(facts.productVersion)),
        field("manufacturer", jsonString(facts.manufacturer)),
        field("productCode", jsonString(facts.productCode)),
        field("packageSize", std::to_string(facts.packageSize)),
        field("digest", facts.storedDigest ? jsonString(*facts.storedDigest) : "null"),
        field("packageDigest", jsonString(facts.packageDigest)),
        field("digestMatches",
              facts.storedDigest || facts.digestMalformed ? (facts.packageIsWhole() ? "true" : "false") : "null"),
        field("signed", facts.signature ? "true" : "false"),
        field("icon", iconJson(facts.iconSizes)) + iconDamage,
        field("packerVersion", facts.packerVersion.empty() ? "null" : jsonString(facts.packerVersion)),
    });
}

std::string errorJson(const std::string& setupPath, const std::string& message) {
    return jsonObject({jsonField("setup", jsonString(setupPath)), jsonField("error", jsonString(message))});
}

} // namespace pack
