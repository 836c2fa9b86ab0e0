// Fuzz target: any file read as a setup, as --info, --info --json and --extract read it.
#include "MemoryPlatform.h"
#include "PackError.h"
#include "Require.h"
#include "cli/Command.h"
#include "setup/PackageDigest.h"
#include "setup/SetupReader.h"

#include <cstdint>
#include <string>

namespace {

const std::string kSetup = "/setup.exe";
const std::string kPackage = "/product.msi";

// Whatever the file holds, what the packer prints is plain text: no control characters.
void requirePrintable() {
    for (const pack::memory::Line& line : pack::memory::lines()) {
        for (const char c : line.text) {
            const auto code = static_cast<unsigned char>(c);
            fuzz::require(code >= 0x20 && code != 0x7F, "no control characters in the line: " + line.text);
        }
    }
}

int infoExit(const std::vector<std::string>& args) {
    const int code = pack::runCommand(args, "");
    fuzz::require(code == 0 || code == 1, "--info to exit 0 or 1");
    return code;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace pack;
    memory::reset();
    memory::files()[kSetup].assign(data, data + size);
    const int info = infoExit({"--info", kSetup});
    fuzz::require(infoExit({"--info", kSetup, "--json"}) == info, "--info and --info --json to agree");
    requirePrintable();

    SetupFacts facts;
    try {
        facts = extractPackage(kSetup, kPackage, false);
    } catch (const Error&) {
        fuzz::require(info != 0, "--extract to succeed where --info found a whole package");
        fuzz::require(memory::files().count(kPackage) == 0, "a failed --extract to leave no output");
        return 0;
    }
    fuzz::require(info == 0, "--extract to fail where --info failed");
    const memory::Bytes& extracted = memory::files()[kPackage];
    MemorySource written(extracted);
    fuzz::require(extracted.size() == facts.packageSize, "the extracted package to have the size the setup states");
    fuzz::require(copyWithDigest(written, 0, extracted.size(), nullptr) == facts.packageDigest,
                  "the extracted package to have the digest --extract computed");
    return 0;
}
