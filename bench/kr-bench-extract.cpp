// Extraction benchmark: an embedded resource written out with Resource::writeToFile against CopyFileW of the
// same bytes from an ordinary file, both into one directory with the page cache warm.
#include "BenchSupport.h"
#include "Resources.h"

#include <windows.h>

namespace {

void measure(const tstring_array& args) {
    const std::string key = tstrings::encodeUtf8(args[0]);
    const Resource resource(args[1].c_str(), RT_RCDATA, GetModuleHandleW(nullptr));
    const unsigned runs = bench::parseCount(args[3]);

    const bench::WorkDir dir(L"kr-bench-extract");
    // The ordinary file lives in the same directory as both results, so both read and write the same disk.
    const tstring source = dir.file(L"source.bin");
    const tstring written = dir.file(L"written.bin");
    const tstring copied = dir.file(L"copied.bin");
    bench::copyFile(args[2], source);

    // One untimed round warms the page cache and checks that both ways give the embedded bytes.
    resource.writeToFile(written);
    bench::copyFile(source, copied);
    bench::requireSameContent(written, source);
    bench::requireSameContent(copied, source);
    bench::deleteFileIfExists(written);
    bench::deleteFileIfExists(copied);

    // The order alternates so that neither side always runs on the cache state the other left.
    for (unsigned run = 0; run < runs; ++run) {
        for (int side = 0; side < 2; ++side) {
            if ((side + run) % 2 == 0) {
                const bench::Stopwatch clock;
                resource.writeToFile(written);
                bench::printSample(key + ".resource", clock.elapsedMs());
                // What a launcher's clean-up costs for it.
                const bench::Stopwatch deleteClock;
                bench::deleteFileIfExists(written);
                bench::printSample(key + ".delete", deleteClock.elapsedMs());
            } else {
                const bench::Stopwatch clock;
                bench::copyFile(source, copied);
                bench::printSample(key + ".copy", clock.elapsedMs());
                bench::deleteFileIfExists(copied);
            }
        }
    }
}

} // namespace

int wmain(int argc, wchar_t** argv) {
    return bench::guardedMain(argc, argv, 4, "kr-bench-extract <key> <resource name> <file of the same bytes> <runs>",
                              measure);
}
