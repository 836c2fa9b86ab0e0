// The crafted files of craft.py: each refused with its rule by every command, quickly, writing and echoing
// nothing, or read if only its icon is damaged; and what the packer takes at the reader's bounds read back.
#include "PackTest.h"
#include "pe/PeImage.h"
#include "setup/Packer.h"

#include <gtest/gtest.h>

#include <sys/resource.h>
#include <time.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

namespace {

using packtest::readFile;
using packtest::run;
using packtest::ScratchDir;

const std::string kPacker = KR_TEST_PACKER;

// Which commands a fault reaches with its rule; the others refuse the file for what it is.
enum class Reach {
    All,     // the image's rules: every command names the rule
    Packing, // a launcher that reads well but cannot carry a package
    Reading, // a setup whose texts are hostile: --info and --extract name the rule
    Icon,    // a setup whose icon alone is damaged: --info names the rule, --extract gives the package
};

struct Crafted {
    const char* name;
    Reach reach;
    std::string rule;
    std::string shown = {}; // what --info prints of the file's texts
};

const std::vector<Crafted> kCrafted = {
    {"table-after-rsrc-pointer", Reach::All, "a section's raw data starts inside its headers"},
    {"headers-end-before-table", Reach::All, "its section table does not lie inside its headers"},
    {"rsrc-raw-pointer-zero", Reach::All, "a section's raw data starts inside its headers"},
    {"two-sections-at-rsrc", Reach::All, "the virtual ranges of its sections overlap or are out of order"},
    {"overlapping-virtual-ranges", Reach::All, "the virtual ranges of its sections overlap or are out of order"},
    {"raw-overlaps-rsrc", Reach::All, "the raw data of two sections overlap"},
    {"huge-file-alignment", Reach::All, "its FileAlignment (268435456) is not a power of two from 512 to 65536"},
    {"shared-directories", Reach::All, "its resource tree is damaged: a directory is reached twice"},
    {"shared-name", Reach::All, "its resource tree is damaged: its names repeat more text than its section holds"},
    {"resource-bound-other-section", Reach::All, "the raw data of two sections overlap"},
    {"resource-offset-outside", Reach::All, "its resource tree is damaged: an offset lies outside its section"},
    {"truncated", Reach::All, "it is incomplete: it has "},
    {"many-sections-many-leaves", Reach::Packing, "it is not a Kestrel launcher"},
    {"shared-icon-group", Reach::All, "its resource tree is damaged: the data of two resources overlap"},
    {"shared-resource-data", Reach::All, "its resource tree is damaged: the data of two resources overlap"},
    {"empty-name", Reach::All, "its resource tree is damaged: a name is empty"},
    {"duplicate-identifiers", Reach::All,
     "its resource tree is damaged: two entries of a directory have the same identifier"},
    {"debug-after-rsrc", Reach::Packing, "its debug directory does not lie before its resources"},
    {"icon-group-repeats-image", Reach::Icon, "its icon group names an image twice"},
    {"icon-png-of-zeros", Reach::Icon, "a PNG image in it does not begin with its header chunk"},
    {"names-65536-under-one-type", Reach::Packing,
     "one of its resource directories would hold more than 65535 named or numbered entries"},
    {"import-directory-into-rsrc", Reach::Packing, "its import directory does not lie before its resources"},
    {"export-directory-in-rsrc", Reach::Packing, "its export directory does not lie before its resources"},
    {"import-directory-after-rsrc", Reach::Packing, "its import directory does not lie before its resources"},
    {"exception-directory-in-rsrc", Reach::Packing, "its exception directory does not lie before its resources"},
    {"architecture-directory-after-rsrc", Reach::Packing,
     "its architecture directory does not lie before its resources"},
    {"global-pointer-directory-in-rsrc", Reach::Packing, "its global pointer does not lie before its resources"},
    {"tls-directory-after-rsrc", Reach::Packing, "its TLS directory does not lie before its resources"},
    {"load-config-directory-in-rsrc", Reach::Packing, "its load configuration does not lie before its resources"},
    {"bound-import-directory-after-rsrc", Reach::Packing,
     "its bound import directory does not lie before its resources"},
    {"iat-directory-in-rsrc", Reach::Packing, "its import address table does not lie before its resources"},
    {"delay-import-directory-after-rsrc", Reach::Packing,
     "its delay import directory does not lie before its resources"},
    {"runtime-header-directory-in-rsrc", Reach::Packing, "its runtime header does not lie before its resources"},
    {"reserved-directory-after-rsrc", Reach::Packing, "its reserved directory does not lie before its resources"},
    {"entry-point-in-rsrc", Reach::Packing, "its entry point does not lie before its resources"},
    {"entry-point-after-rsrc", Reach::Packing, "its entry point does not lie before its resources"},
    {"relocations-in-rsrc", Reach::Packing, "its base relocations lie inside its resources"},
    {"relocation-changes-rsrc", Reach::Packing, "a base relocation changes its resources or what follows them"},
    {"relocations-damaged", Reach::Packing, "its base relocations are damaged"},
    {"debug-data-after-rsrc", Reach::Packing, "the data of a debug entry does not lie before its resources"},
    {"debug-file-data-after-rsrc", Reach::Packing, "the data of a debug entry does not lie before its resources"},
    {"code-after-rsrc", Reach::Packing, "a section that holds code follows its resources"},
    {"pe32-launcher", Reach::Packing, "it is a 32-bit image; a launcher is a 64-bit (PE32+) image"},
    {"long-names", Reach::Packing, "it is not a Kestrel launcher"},
    {"long-names-half", Reach::Packing, "it is not a Kestrel launcher"},
    {"names-past-bound", Reach::Packing,
     "its resource names would have 1048577 characters, more than the 1048576 a reader takes"},
    {"digest-trailing-nul", Reach::Reading, "the digest the setup carries is malformed"},
    {"digest-and-code-control-oversize", Reach::Reading, "the digest the setup carries is malformed",
     "\nProduct code: \\x1B]0;owned\\x07\\x1B[2J\\x00\\x7F\\u009B\\u202E\uFFFD\\\\\\u2028\\x1B]0;owned"},
};

// The processor time of the children waited for so far: unlike the time on the clock, it does not grow when
// other work shares the machine.
std::chrono::microseconds childrenTime() {
    rusage usage{};
    getrusage(RUSAGE_CHILDREN, &usage);
    const auto time = [](const timeval& value) {
        return std::chrono::seconds(value.tv_sec) + std::chrono::microseconds(value.tv_usec);
    };
    return time(usage.ru_utime) + time(usage.ru_stime);
}

// No control character but the line end, C1 controls, the right-to-left override and the line separator included.
bool printsOnlyText(const std::string& output) {
    for (size_t i = 0; i < output.size(); ++i) {
        const auto byte = [&output](size_t at) { return at < output.size() ? static_cast<uint8_t>(output[at]) : 0; };
        if ((byte(i) < 0x20 && byte(i) != '\n') || byte(i) == 0x7F ||
            (byte(i) == 0xC2 && byte(i + 1) >= 0x80 && byte(i + 1) <= 0x9F) ||
            (byte(i) == 0xE2 && byte(i + 1) == 0x80 && (byte(i + 2) == 0xAE || byte(i + 2) == 0xA8))) {
            return false;
        }
    }
    return true;
}

// The files craft.py makes from the launcher and a setup packed from it, made once for all tests.
struct CraftedSet {
    ScratchDir work;
    ScratchDir refused;  // craft.py's cases
    ScratchDir packable; // craft.py --packable
    packtest::RunResult craft;
    packtest::RunResult craftPackable;

    CraftedSet() {
        const std::string setup = work.file("setup.exe");
        pack::pack({KR_TEST_LAUNCHER, KR_TEST_PACKAGE, setup});
        craft = run(KR_TEST_PYTHON, {KR_TEST_CRAFT_SCRIPT, KR_TEST_LAUNCHER, setup, refused.path()});
        craftPackable = run(KR_TEST_PYTHON, {KR_TEST_CRAFT_SCRIPT, "--packable", KR_TEST_LAUNCHER, packable.path()});
    }
};

const CraftedSet& craftedSet() {
    static const std::unique_ptr<const CraftedSet> set = std::make_unique<const CraftedSet>();
    return *set;
}

TEST(CraftedFiles, EachIsRefusedWithItsRuleQuicklyAndLeavesNothing) {
    const ScratchDir& crafted = craftedSet().refused;
    ASSERT_EQ(craftedSet().craft.exitCode, 0) << craftedSet().craft.err;
    std::vector<std::string> expected;
    for (const Crafted& file : kCrafted) {
        expected.push_back(std::string(file.name) + ".exe");
    }
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(crafted.list(), expected) << "every crafted file has its row";

    const ScratchDir out;
    for (const Crafted& file : kCrafted) {
        const std::string path = crafted.file(std::string(file.name) + ".exe");
        const std::string notSetup = "kestrel-pack: '" + path + "' is not a Kestrel setup: ";
        const std::string reading = file.reach == Reach::All       ? notSetup + file.rule
                                    : file.reach == Reach::Reading ? file.rule
                                                                   : notSetup + "it carries no installer package";
        const std::string packing = file.reach == Reach::Reading || file.reach == Reach::Icon
                                        ? "kestrel-pack: The launcher '" + path + "' already carries a package"
                                        : "kestrel-pack: The launcher '" + path + "' cannot be packed: " + file.rule;
        // The icon is decoration: its setup reads and extracts with exit code 0, saying so on standard output.
        const bool icon = file.reach == Reach::Icon;
        const std::vector<std::pair<std::vector<std::string>, std::string>> commands = {
            {{"--info", path}, icon ? "\nIcon:         damaged: " + file.rule + "\n" : reading},
            {{"--info", "--json", path}, icon ? ",\"icon\":null,\"iconDamage\":\"" + file.rule + "\"," : reading},
            {{"--extract", path, out.file("product.msi")}, icon ? "Extracted a package of " : reading},
            {{"--launcher", path, KR_TEST_PACKAGE, out.file("setup.exe")}, packing},
        };
        for (const auto& [args, message] : commands) {
            const auto start = childrenTime();
            const packtest::RunResult result = run(kPacker, args);
            const auto elapsed = childrenTime() - start;
            const std::string what = file.name + (" " + args[0] + " " + args[1]);
            const bool read = icon && args[0] != "--launcher";
            EXPECT_EQ(result.exitCode, read ? 0 : 1) << what;
            const std::string& said = read ? result.out : result.err;
            EXPECT_NE(said.find(message), std::string::npos) << what << ": " << said;
            if (read && args[0] == "--extract") {
                EXPECT_TRUE(packtest::readFile(out.file("product.msi")) == packtest::readFile(KR_TEST_PACKAGE));
                std::remove(out.file("product.msi").c_str());
            }
            EXPECT_LT(elapsed, std::chrono::seconds(1)) << what;
            EXPECT_TRUE(printsOnlyText(result.out) && printsOnlyText(result.err)) << what;
            if (args.size() == 2 && !file.shown.empty()) {
                EXPECT_NE(result.out.find(file.shown), std::string::npos) << what << ": " << result.out;
                EXPECT_LT(result.out.size(), 1000u) << what;
            }
            EXPECT_EQ(out.list(), std::vector<std::string>{}) << what;
        }
    }
}

// The processor time this thread has spent.
std::chrono::nanoseconds threadTime() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return std::chrono::seconds(now.tv_sec) + std::chrono::nanoseconds(now.tv_nsec);
}

// One reading of an image of the costliest shape from memory, which finds the two names of its one type with
// `languages` languages each; returns the processor time it took.
std::chrono::nanoseconds readingTime(const std::string& bytes, size_t languages) {
    const auto start = threadTime();
    pack::MemorySource source(packtest::view(bytes));
    const pack::PeImage image(source);
    const auto spent = threadTime() - start;
    const pack::ResourceTree::Names& names = image.resources().types().begin()->second;
    EXPECT_EQ(names.size(), 2u);
    EXPECT_EQ(names.begin()->second.size(), languages);
    return spent;
}

// The shape that costs most per byte (long names, as many languages as entries allow, one shared datum): twice
// the names and languages, twice the time, not four times. Each size is timed the least of several readings, the
// two in turn, so that other work on the machine weighs on both alike.
TEST(CraftedFiles, ReadingTheCostliestTreeTakesTimeLinearInTheFile) {
    ASSERT_EQ(craftedSet().craft.exitCode, 0) << craftedSet().craft.err;
    const std::string half = readFile(craftedSet().refused.file("long-names-half.exe"));
    const std::string whole = readFile(craftedSet().refused.file("long-names.exe"));
    std::chrono::nanoseconds halfTime = std::chrono::hours(1);
    std::chrono::nanoseconds wholeTime = std::chrono::hours(1);
    // A reader whose work grows with the square of the file is found out by the first round, which it makes slow.
    std::chrono::nanoseconds spent{0};
    for (int round = 0; round < 12 && spent < std::chrono::seconds(1); ++round) {
        const std::chrono::nanoseconds halfRound = readingTime(half, 0x7FFE);
        const std::chrono::nanoseconds wholeRound = readingTime(whole, 0xFFFE);
        halfTime = std::min(halfTime, halfRound);
        wholeTime = std::min(wholeTime, wholeRound);
        spent += halfRound + wholeRound;
    }
    const double ratio =
        static_cast<double>(wholeTime.count()) / static_cast<double>(std::max<int64_t>(halfTime.count(), 1));
    std::printf("reading %zu bytes: %lld us, %zu bytes: %lld us, ratio %.2f\n", half.size(),
                static_cast<long long>(halfTime.count() / 1000), whole.size(),
                static_cast<long long>(wholeTime.count() / 1000), ratio);
    EXPECT_LT(ratio, 3.0);
    EXPECT_LT(wholeTime, std::chrono::milliseconds(250));
}

// A launcher whose names with the packer's fill the reader's bound exactly, one whose debug entry's data lies
// before its resources, and an icon of as many images as the tree can hold are packed, and the setup reads back
// whole; one image more, and the pack is refused naming the bound, leaving nothing.
TEST(CraftedFiles, WhatThePackerTakesAtTheReadersBoundsReadsBack) {
    const CraftedSet& set = craftedSet();
    ASSERT_EQ(set.craftPackable.exitCode, 0) << set.craftPackable.err;
    const std::vector<std::vector<std::string>> packs = {
        {"--launcher", set.packable.file("names-at-bound.exe")},
        {"--launcher", set.packable.file("debug-data-before-rsrc.exe")},
        {"--icon", set.packable.file("icon-65527.ico")},
    };
    for (const std::vector<std::string>& options : packs) {
        const ScratchDir out;
        std::vector<std::string> args = options;
        args.insert(args.end(), {KR_TEST_PACKAGE, out.file("setup.exe")});
        const packtest::RunResult packed = run(kPacker, args);
        EXPECT_EQ(packed.exitCode, 0) << options[1] << ": " << packed.err;
        const packtest::RunResult info = run(kPacker, {"--info", out.file("setup.exe")});
        EXPECT_EQ(info.exitCode, 0) << options[1] << ": " << info.err;
        EXPECT_NE(info.out.find("the package matches it"), std::string::npos) << options[1] << ": " << info.out;
    }

    const ScratchDir out;
    const packtest::RunResult refused =
        run(kPacker, {"--icon", set.packable.file("icon-65528.ico"), KR_TEST_PACKAGE, out.file("setup.exe")});
    EXPECT_EQ(refused.exitCode, 1);
    EXPECT_NE(refused.err.find("cannot be used: its resource tree would have 131073 entries, more than the "
                               "131072 a reader takes"),
              std::string::npos)
        << refused.err;
    EXPECT_EQ(out.list(), std::vector<std::string>{});
}

// A 32-bit image is read as its 64-bit twin: the same layout, entry point, directories and resources.
TEST(CraftedFiles, A32BitImageReadsAsIts64BitTwin) {
    ASSERT_EQ(craftedSet().craft.exitCode, 0) << craftedSet().craft.err;
    const std::string twinBytes = readFile(KR_TEST_LAUNCHER);
    const std::string bytes = readFile(craftedSet().refused.file("pe32-launcher.exe"));
    pack::MemorySource twinSource(packtest::view(twinBytes));
    pack::MemorySource source(packtest::view(bytes));
    const pack::PeImage twin(twinSource);
    const pack::PeImage image(source);
    EXPECT_TRUE(twin.layout().is64Bit);
    EXPECT_FALSE(image.layout().is64Bit);
    EXPECT_EQ(image.layout().entryPoint, twin.layout().entryPoint);
    EXPECT_EQ(image.layout().sizeOfImage, twin.layout().sizeOfImage);
    ASSERT_EQ(image.layout().sections.size(), twin.layout().sections.size());
    for (size_t i = 0; i < image.layout().sections.size(); ++i) {
        EXPECT_EQ(image.layout().sections[i].virtualAddress, twin.layout().sections[i].virtualAddress);
        EXPECT_EQ(image.layout().sections[i].rawPointer, twin.layout().sections[i].rawPointer);
    }
    ASSERT_EQ(image.layout().directories.size(), twin.layout().directories.size());
    for (size_t d = 0; d < image.layout().directories.size(); ++d) {
        EXPECT_EQ(image.layout().directories[d].rva, twin.layout().directories[d].rva) << d;
        EXPECT_EQ(image.layout().directories[d].size, twin.layout().directories[d].size) << d;
    }
    size_t count = 0;
    for (const auto& [type, names] : twin.resources().types()) {
        for (const auto& [name, languages] : names) {
            for (const auto& [language, data] : languages) {
                const pack::ResourceData* read = image.resources().find(type, name, language);
                ASSERT_NE(read, nullptr);
                EXPECT_EQ(bytes.substr(read->offset, read->size), twinBytes.substr(data.offset, data.size));
                ++count;
            }
        }
    }
    EXPECT_EQ(count, 2u) << "the launcher's version block and manifest";
}

} // namespace
