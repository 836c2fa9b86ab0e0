// Fuzz target: any file read as a setup, as --info, --info --json and --extract read it.
#include "MemoryPlatform.h"
#include "PackChecks.h"
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

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace pack;
    memory::reset();
    memory::files()[kSetup].assign(data, data + size);
    const int info = fuzz::runPacker({"--info", kSetup});
    // The icon is decoration: a setup is never refused for it, its package is what the reader is for.
    fuzz::require(info == 0 || !fuzz::printed(platform::Stream::Err, "icon"),
                  "--info not to refuse a setup for its icon");
    fuzz::require(fuzz::runPacker({"--info", kSetup, "--json"}) == info, "--info and --info --json to agree");
    fuzz::requireShortIconLines();

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
