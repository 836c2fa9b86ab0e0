// The package reader's exchange: what the packer asks the child process that reads a package, and its answer.
// The same on every system; the Windows layer compiles it too.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

// The packer reads a package only in a child, itself re-run with kOption, so that a library that crashes or hangs on
// a damaged package ends the child, not the packer. The child writes one answer to its standard output and exits 0.
namespace pack::reader {

// kestrel-pack <kOption> properties <package> | kestrel-pack <kOption> icon <package> <row name>
extern const char kOption[];

// An Icon row larger than this is refused before more of it is read; no icon comes near it.
constexpr uint64_t kMaxIconRowSize = 16 * 1024 * 1024;
// The most an answer may hold: the largest icon row, or properties of that size, with room for the framing.
constexpr size_t kMaxAnswerSize = kMaxIconRowSize + 64 * 1024;
// How long the child may read before it counts as hung and is killed.
constexpr unsigned kTimeLimitSeconds = 60;

// For tests only, read by the child alone: "crash", "hang" or "garble" in this environment variable makes it fail
// so on purpose. The fault asked for, or an empty text.
extern const char kFaultVariable[];
std::string requestedFault();

std::vector<std::string> propertiesRequest(const std::string& packagePath);
std::vector<std::string> iconRowRequest(const std::string& packagePath, const std::string& rowName);

// The child's side. The library calls of the system's layer, which raise Error when they refuse the package.
struct Library {
    std::function<std::map<std::string, std::string>(const std::string& packagePath)> properties;
    std::function<std::optional<std::vector<uint8_t>>(const std::string& packagePath, const std::string& rowName)>
        iconRow;
};

// The answer to the request in `arguments` (those after kOption): what the library read, or its refusal.
// Empty when the arguments are no request.
std::string answerRequest(const std::vector<std::string>& arguments, const Library& library);
// The answer of a child whose library reported faults of its own while reading (a failed assertion, say).
std::string damageAnswer();
// An answer no packer accepts, for the "garble" fault.
std::string garbledAnswer();

// The packer's side: the child's complete standard output, validated. A refusal raises Error with the child's
// message; a damage answer or anything malformed raises Error with damagedMessage().
std::map<std::string, std::string> propertiesFromAnswer(const std::string& answer, const std::string& packagePath);
std::optional<std::vector<uint8_t>> iconRowFromAnswer(const std::string& answer, const std::string& packagePath);

// What the packer says of a package the reading child failed on: it crashed, hung, or answered nonsense.
std::string damagedMessage(const std::string& packagePath);
// Why an Icon row over kMaxIconRowSize is not used.
std::string oversizedIconRowMessage(const std::string& packagePath, const std::string& rowName);

} // namespace pack::reader
