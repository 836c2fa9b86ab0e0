// Tests of resource lookup, copies and file extraction on the RCDATA resources linked into this program.
#include "Resources.h"

#include "ErrorHandling.h"
#include "Raised.h"
#include "krtest.h"

#include <gtest/gtest.h>
#include <psapi.h>
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

namespace {

const HMODULE self = GetModuleHandleW(nullptr);
constexpr size_t largeSize = size_t{64} << 20;

std::wstring sourceFile(const std::wstring& name) { return krtest::binPath(L"test_Resources-data\\" + name); }

std::string asText(const std::vector<uint8_t>& bytes) { return std::string(bytes.begin(), bytes.end()); }

uint64_t fnv1a(uint64_t hash, const char* bytes, size_t count) {
    for (size_t i = 0; i < count; ++i) {
        hash = (hash ^ static_cast<uint8_t>(bytes[i])) * 0x100000001b3ULL;
    }
    return hash;
}

constexpr uint64_t fnvBasis = 0xcbf29ce484222325ULL;

struct Digest {
    uint64_t size = 0;
    uint64_t hash = fnvBasis;
    bool operator==(const Digest& other) const { return size == other.size && hash == other.hash; }
};

Digest digestOf(const std::vector<uint8_t>& bytes) {
    return {bytes.size(), fnv1a(fnvBasis, reinterpret_cast<const char*>(bytes.data()), bytes.size())};
}

Digest digestOfFile(const std::wstring& path) {
    std::ifstream in(path.c_str(), std::ios::binary);
    EXPECT_TRUE(in.is_open()) << krtest::utf8(path);
    Digest digest;
    std::vector<char> chunk(1 << 20);
    while (in.read(chunk.data(), static_cast<std::streamsize>(chunk.size())) || in.gcount() > 0) {
        const size_t count = static_cast<size_t>(in.gcount());
        digest.size += count;
        digest.hash = fnv1a(digest.hash, chunk.data(), count);
    }
    return digest;
}

using krtest::Raised;
using krtest::raisedBy;

PROCESS_MEMORY_COUNTERS_EX memoryCounters() {
    PROCESS_MEMORY_COUNTERS_EX counters{};
    counters.cb = sizeof(counters);
    EXPECT_TRUE(GetProcessMemoryInfo(GetCurrentProcess(), reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&counters),
                                     sizeof(counters)));
    return counters;
}

// Windows reports the private bytes in both fields; Wine leaves PrivateUsage at 0 and puts the process's
// anonymous resident memory in PagefileUsage.
SIZE_T privateBytes() {
    const PROCESS_MEMORY_COUNTERS_EX counters = memoryCounters();
    return std::max(counters.PrivateUsage, counters.PagefileUsage);
}

SIZE_T growth(SIZE_T before, SIZE_T after) { return after > before ? after - before : 0; }

// The most the private bytes grew while `work` ran: the system's own peak where it keeps one (Windows), and
// samples taken on a second thread meanwhile (Wine reports the current value as the peak).
template <class Work>
SIZE_T privateGrowthDuring(Work&& work) {
    const SIZE_T peakBefore = memoryCounters().PeakPagefileUsage;
    const SIZE_T before = privateBytes();
    std::atomic<bool> done{false};
    SIZE_T highestSample = before;
    std::thread sampler([&] {
        while (!done) {
            highestSample = std::max(highestSample, privateBytes());
        }
    });
    work();
    done = true;
    sampler.join();
    return std::max(growth(peakBefore, memoryCounters().PeakPagefileUsage), growth(before, highestSample));
}

// First, so that no earlier copy of the large resource has raised the process's peak already.
TEST(ResourceMemory, LargeResourceIsWrittenFromTheImageWithoutACopy) {
    krtest::ScratchDir dir;
    const Resource large(L"large", RT_RCDATA, self);
    const SIZE_T written = privateGrowthDuring([&] { large.writeToFile(dir.file(L"large.bin")); });
    EXPECT_LT(written, largeSize / 8);
    EXPECT_EQ(digestOfFile(dir.file(L"large.bin")), digestOfFile(sourceFile(L"large.bin")));

    // The measure does see a copy: readBytes makes one on purpose.
    const SIZE_T before = privateBytes();
    const std::vector<uint8_t> copy = large.readBytes();
    EXPECT_GE(growth(before, privateBytes()), largeSize / 2);
    EXPECT_EQ(copy.size(), largeSize);
}

TEST(ResourceRead, CopiesExactlyTheEmbeddedBytes) {
    EXPECT_EQ(asText(Resource(L"small", RT_RCDATA, self).readBytes()), krtest::readFile(sourceFile(L"small.bin")));
    EXPECT_TRUE(Resource(L"empty", RT_RCDATA, self).readBytes().empty());
    EXPECT_EQ(digestOf(Resource(L"large", RT_RCDATA, self).readBytes()), digestOfFile(sourceFile(L"large.bin")));
    EXPECT_EQ(asText(Resource(MAKEINTRESOURCEW(42), RT_RCDATA, self).readBytes()),
              krtest::readFile(sourceFile(L"small.bin")));
}

TEST(ResourceRead, KeepsItsOwnCopyOfAStringName) {
    std::wstring name = L"small";
    const Resource resource(name.c_str(), RT_RCDATA, self);
    name = L"gone!";
    EXPECT_EQ(asText(resource.readBytes()), krtest::readFile(sourceFile(L"small.bin")));
}

TEST(ResourceWrite, WritesExactlyTheEmbeddedBytesOverAnyOldFile) {
    krtest::ScratchDir dir;
    krtest::writeFile(dir.file(L"small.bin"), "old content that is longer than nothing");
    Resource(L"small", RT_RCDATA, self).writeToFile(dir.file(L"small.bin"));
    EXPECT_EQ(krtest::readFile(dir.file(L"small.bin")), krtest::readFile(sourceFile(L"small.bin")));

    Resource(L"empty", RT_RCDATA, self).writeToFile(dir.file(L"empty.bin"));
    EXPECT_TRUE(krtest::exists(dir.file(L"empty.bin")));
    EXPECT_EQ(krtest::readFile(dir.file(L"empty.bin")), "");
    EXPECT_EQ(krtest::listDir(dir.path(), L"kvs*.tmp").size(), 0u);
}

TEST(ResourceLookup, MissingNameRaisesOnFirstAccessWithTheSystemCode) {
    krtest::ScratchDir dir;
    const Resource absent(L"absent", RT_RCDATA, self);

    SetLastError(0);
    EXPECT_EQ(FindResourceW(self, L"absent", RT_RCDATA), nullptr);
    const DWORD expectedCode = GetLastError();
    const std::string expected = "cannot find resource (name='absent', type='#10'). System error [" +
                                 std::to_string(expectedCode) + "](system error " + std::to_string(expectedCode) +
                                 " (";

    const Raised read = raisedBy([&] { absent.readBytes(); });
    EXPECT_EQ(read.bare.rfind(expected, 0), 0u) << read.bare;
    EXPECT_NE(read.what.find("at Resource::getPtr(): cannot find resource"), std::string::npos) << read.what;

    const Raised written = raisedBy([&] { absent.writeToFile(dir.file(L"out.bin")); });
    EXPECT_EQ(written.bare.rfind(expected, 0), 0u) << written.bare;
    EXPECT_TRUE(krtest::listDir(dir.path()).empty());
}

TEST(ResourceLookup, NamesIntegerIdentifiersWithAHashAndStringsAsGiven) {
    const Raised byNumber = raisedBy([] { Resource(MAKEINTRESOURCEW(7), RT_RCDATA, self).readBytes(); });
    EXPECT_EQ(byNumber.bare.rfind("cannot find resource (name='#7', type='#10'). System error [", 0), 0u)
        << byNumber.bare;
    const Raised byString = raisedBy([] { Resource(L"small", L"Custom", self).readBytes(); });
    EXPECT_EQ(byString.bare.rfind("cannot find resource (name='small', type='Custom'). System error [", 0), 0u)
        << byString.bare;
}

} // namespace
