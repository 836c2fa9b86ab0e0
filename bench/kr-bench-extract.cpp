// Extraction benchmark: an embedded resource written out with Resource::writeToFile, plain and with the CRC-32C
// check taken on the way, against CopyFileW of the same bytes from an ordinary file, all into one directory
// with the page cache warm.
#include "BenchSupport.h"
#include "Crc32c.h"
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

    const auto unchecked = [](const Crc32c&) {};
    // The order rotates so that no side always runs on the cache state another left.
    for (unsigned run = 0; run < runs; ++run) {
        for (unsigned side = 0; side < 3; ++side) {
            const unsigned turn = (side + run) % 3;
            if (turn == 2) {
                const bench::Stopwatch clock;
                resource.writeToFile(written, unchecked);
                bench::printSample(key + ".checked", clock.elapsedMs());
                bench::deleteFileIfExists(written);
            } else if (turn == 0) {
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
