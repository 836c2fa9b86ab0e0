// --info --json: the facts of a setup as one JSON object, or the object of a file that is no readable setup.
#pragma once

#include "setup/SetupReader.h"

#include <string>

namespace pack {

// The facts under fixed names; a fact the setup does not hold is null.
std::string infoJson(const SetupFacts& facts);

// {"setup": <setupPath>, "error": <message>}.
std::string errorJson(const std::string& setupPath, const std::string& message);

} // namespace pack
