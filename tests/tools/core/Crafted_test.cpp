// Each crafted file of craft.py refused with its rule by every command, quickly, or read if only its icon is damaged.
#include "PackTest.h"
#include "Packer.h"

#include <gtest/gtest.h>

#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

namespace {

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

TEST(CraftedFiles, EachIsRefusedWithItsRuleQuicklyAndLeavesNothing) {
    const ScratchDir work;
    const std::string setup = work.file("setup.exe");
    pack::pack({KR_TEST_LAUNCHER, KR_TEST_PACKAGE, setup});
    const ScratchDir crafted;
    const packtest::RunResult craft =
        run(KR_TEST_PYTHON, {KR_TEST_CRAFT_SCRIPT, KR_TEST_LAUNCHER, setup, crafted.path()});
    ASSERT_EQ(craft.exitCode, 0) << craft.err;
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
            {{"--info", "--json", path}, icon ? ",\"icon\":null,\"iconDamage\":\"" + file.rule + "\"}" : reading},
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

} // namespace
