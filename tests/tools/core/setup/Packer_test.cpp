// Tests of packing on this system: refusals, a failure while writing, and the launcher of an installed tree.
#include "PackError.h"
#include "PackTest.h"
#include "pe/PeImage.h"
#include "setup/Packer.h"
#include "setup/ProductCode.h"
#include "text/Utf.h"

#include <gtest/gtest.h>

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include <string>
#include <utility>
#include <vector>

namespace {

using packtest::readFile;
using packtest::ScratchDir;
using packtest::writeFile;

const std::string kLauncher = KR_TEST_LAUNCHER;
const std::string kPackage = KR_TEST_PACKAGE;
const std::string kPrevious = "the previous setup";

// The launcher with a certificate table in its header, as signing leaves it.
std::string signedLauncher() {
    std::string bytes = readFile(kLauncher);
    pack::MemorySource source(packtest::view(bytes));
    const pack::PeImage image(source);
    const size_t directory =
        image.layout().offsets.optionalHeader + pack::pe::kDataDirectories + pack::pe::kDirectorySecurity * 8;
    pack::putLe32(reinterpret_cast<uint8_t*>(&bytes[directory]), static_cast<uint32_t>(bytes.size()));
    pack::putLe32(reinterpret_cast<uint8_t*>(&bytes[directory + 4]), 16);
    return bytes + std::string(16, '\0');
}

std::string packedReport(const std::string& output) {
    std::string size = std::to_string(readFile(kPackage).size());
    size.insert(size.size() - 3, ",");
    return "Packed Kestrel Packtest 2.5.17 by Kestrel Pr\u00fcfstand, product code " KR_TEST_PRODUCT_CODE "\nWrote " +
           output + " with a package of " + size + " bytes\nIcon: none; the package names no icon in ARPPRODUCTICON\n";
}

TEST(ProductCode, TakesGuidTextWithOrWithoutBracesAndDashesAndNothingElse) {
    const std::string canonical = "{6F1C2B9E-4D7A-4E35-A0B8-93C5D2E1F604}";
    for (const std::string& text :
         {canonical, std::string("{6f1c2b9e-4d7a-4e35-a0b8-93c5d2e1f604}"),
          std::string("6F1C2B9E-4D7A-4E35-A0B8-93C5D2E1F604"), std::string("6F1C2B9E4D7A4E35A0B893C5D2E1F604"),
          std::string("{6F1C2B9E4D7A4E35A0B893C5D2E1F604}")}) {
        EXPECT_EQ(pack::canonicalProductCode(text).value_or("<refused>"), canonical) << text;
    }
    for (const std::string& text :
         {std::string(), std::string("{not-a-guid}"), std::string("{6F1C2B9E-4D7A-4E35-A0B8-93C5D2E1F604"),
          std::string("{6F1C2B9E-4D7A-4E35-A0B8-93C5D2E1F60G}"), std::string("{6F1C2B9E-4D7A4-E35-A0B8-93C5D2E1F604}"),
          std::string(" {6F1C2B9E-4D7A-4E35-A0B8-93C5D2E1F604}"),
          std::string("{6F1C2B9E-4D7A-4E35-A0B8-93C5D2E1F604}\0", 39)}) {
        EXPECT_FALSE(pack::canonicalProductCode(text)) << text;
    }
}

TEST(Utf, KeepsEveryCodePointAndReplacesWhatIsMalformed) {
    const std::string text = "A\xC3\xBC\xE2\x82\xAC\xF0\x9F\x98\x80"; // A, u umlaut, euro sign, an emoji
    EXPECT_EQ(pack::toUtf16(text), (std::u16string{u'A', 0x00FC, 0x20AC, 0xD83D, 0xDE00}));
    EXPECT_EQ(pack::toUtf8(pack::toUtf16(text)), text);
    // A stray continuation byte, an overlong form, an encoded surrogate, a cut sequence; a lone surrogate.
    EXPECT_EQ(pack::toUtf16("\x80x\xC0\xAFy\xED\xA0\x80z\xE2\x82"),
              u"\uFFFDx\uFFFD\uFFFDy\uFFFD\uFFFD\uFFFDz\uFFFD\uFFFD");
    EXPECT_EQ(pack::toUtf8(std::u16string{u'a', 0xDC00, u'b'}), std::string("a\xEF\xBF\xBD") + "b");
}

// Each refusal: the whole message, and the output directory as it was.
TEST(PackerRefusal, NamesTheCulpritAndLeavesTheOutputAsItWas) {
    const ScratchDir inputs;
    const std::string text = inputs.file("notes.msi");
    writeFile(text, "This is not an installer database.\n");
    const std::string signedCopy = inputs.file("signed-launcher.exe");
    writeFile(signedCopy, signedLauncher());
    const std::string cut = inputs.file("cut-launcher.exe");
    const size_t launcherSize = readFile(kLauncher).size();
    writeFile(cut, readFile(kLauncher).substr(0, launcherSize / 2));
    const std::string packed = inputs.file("packed.exe");
    pack::pack({kLauncher, kPackage, packed});
    const std::string foreignProgram = kLauncher.substr(0, kLauncher.rfind('/')) + "/kestrel-pack.exe";
    // Icons damaged in one way each; the good one has four images, the first a bitmap at offset 70.
    const std::string icon = readFile(KR_TEST_ICON);
    const auto iconFile = [&inputs](const std::string& name, const std::string& bytes) {
        writeFile(inputs.file(name), bytes);
        return inputs.file(name);
    };
    const std::string cutIcon = iconFile("cut.ico", icon.substr(0, 40));
    const std::string noImages = iconFile("empty.ico", icon.substr(0, 4) + std::string(2, '\0'));
    const std::string beyond = iconFile("beyond.ico", icon.substr(0, icon.size() - 1));
    const std::string overlapping =
        iconFile("overlapping.ico", icon.substr(0, 18) + std::string(4, '\0') + icon.substr(22));
    const std::string unknownImage = iconFile("unknown.ico", icon.substr(0, 70) + "GIF89a.." + icon.substr(78));
    // The second entry's size and offset are the first's.
    const std::string sharedImage = iconFile("shared.ico", icon.substr(0, 30) + icon.substr(14, 8) + icon.substr(38));
    // The last image is a PNG: its signature followed by zeros, its width 0, its entry a byte short of its end.
    const size_t png = pack::getLe32(reinterpret_cast<const uint8_t*>(icon.data()) + 6 + 3 * 16 + 12);
    const std::string zeroPng =
        iconFile("zero-png.ico", icon.substr(0, png + 8) + std::string(icon.size() - png - 8, '\0'));
    const std::string flatPng =
        iconFile("flat-png.ico", icon.substr(0, png + 16) + std::string(4, '\0') + icon.substr(png + 20));
    std::string shortEntry = icon;
    shortEntry[6 + 3 * 16 + 8] = static_cast<char>(shortEntry[6 + 3 * 16 + 8] - 1);
    const std::string shortPng = iconFile("short-png.ico", shortEntry);

    const ScratchDir out;
    const std::string existing = out.file("setup.exe");
    const std::string missingDir = out.file("no-such-dir");
    struct Case {
        std::string launcher;
        std::string package;
        std::string output;
        std::string message;
        std::string icon{}; // given with --icon
    };
    const auto iconCase = [&](const std::string& file, const std::string& reason) {
        return Case{kLauncher, kPackage, existing, "The icon '" + file + "' cannot be used: " + reason, file};
    };
    const std::vector<Case> cases = {
        {kLauncher, text, existing, "Cannot open '" + text + "' as a Windows Installer package"},
        {kLauncher, KR_TEST_NOCODE_PACKAGE, existing,
         "The package '" KR_TEST_NOCODE_PACKAGE "' has no ProductCode property, so it does not install a product"},
        {kLauncher, inputs.file("missing.msi"), existing,
         "The package '" + inputs.file("missing.msi") + "' does not exist"},
        {kLauncher, kPackage, missingDir + "/setup.exe", "The output directory '" + missingDir + "' does not exist"},
        {kLauncher, kPackage, out.path(), "The output '" + out.path() + "' is a directory"},
        {kLauncher, kPackage, kPackage, "The output '" + kPackage + "' would replace an input of the packer"},
        {kLauncher, kPackage, existing, "The output '" + existing + "' would replace an input of the packer", existing},
        {text, kPackage, existing, "The launcher '" + text + "' cannot be packed: it is not a Windows executable"},
        {cut, kPackage, existing,
         "The launcher '" + cut + "' cannot be packed: it is incomplete: it has " + std::to_string(launcherSize / 2) +
             " bytes, its headers need " + std::to_string(launcherSize)},
        {signedCopy, kPackage, existing,
         "The launcher '" + signedCopy +
             "' cannot be packed: it is signed, and its signature would not hold for the setup"},
        {packed, kPackage, existing,
         "The launcher '" + packed + "' already carries a package; pack from the bare kestrel-launcher.exe"},
        {foreignProgram, kPackage, existing,
         "The launcher '" + foreignProgram + "' cannot be packed: it is not a Kestrel launcher"},
        iconCase(text, "it is neither an icon file nor a Windows executable"),
        iconCase(cutIcon, "it is incomplete: it has 40 bytes, its directory needs 70"),
        iconCase(noImages, "it holds no images"),
        iconCase(beyond, "it is incomplete: it has " + std::to_string(icon.size() - 1) + " bytes, its images need " +
                             std::to_string(icon.size())),
        iconCase(overlapping, "an image in it overlaps its directory"),
        iconCase(sharedImage, "two images in it overlap"),
        iconCase(unknownImage, "an image in it is neither a PNG nor a bitmap"),
        iconCase(zeroPng, "a PNG image in it does not begin with its header chunk"),
        iconCase(flatPng, "a PNG image in it has no valid width and height"),
        iconCase(shortPng, "a PNG image in it runs past the bytes its directory gives it"),
        iconCase(iconFile("empty.bin", ""), "it is empty"),
        iconCase(kLauncher, "it carries no icon"),
        {kLauncher, kPackage, existing, "The icon '" + inputs.file("missing.ico") + "' does not exist",
         inputs.file("missing.ico")},
    };
    writeFile(existing, kPrevious);
    for (const Case& refusal : cases) {
        std::string message = "<none>";
        try {
            pack::pack({refusal.launcher, refusal.package, refusal.output,
                        refusal.icon.empty() ? pack::IconChoice::FromPackage : pack::IconChoice::FromFile,
                        refusal.icon});
        } catch (const pack::Error& error) {
            message = error.what();
        }
        EXPECT_EQ(message.substr(0, refusal.message.size()), refusal.message);
        EXPECT_EQ(readFile(existing), kPrevious) << refusal.message;
        EXPECT_EQ(out.list(), std::vector<std::string>{"setup.exe"}) << refusal.message;
    }
}

// A copy of Kestrel Iconic whose Icon row, which ARPPRODUCTICON names, holds the file `name` in `dir`.
std::string iconicPackage(const ScratchDir& dir, const std::string& name) {
    const std::string package = dir.file(name + ".msi");
    // wixl takes a SourceFile relative to the directory it runs in.
    const packtest::RunResult built =
        packtest::run("sh", {"-c", "cd \"$0\" && exec wixl -D IconFile=\"$1\" -o \"$2\" \"$3\"", dir.path(), name,
                             package, KR_TEST_ICONIC_WXS});
    if (built.exitCode != 0) {
        throw std::runtime_error("wixl failed for " + name + ": " + built.err);
    }
    return package;
}

// The package's own icon is decoration: a row that cannot be used is left out with one warning and the setup packed
// without an icon, where the same file given with --icon is refused. A 32-bit program's icon serves either way.
TEST(PackageIcon, AnUnusableRowIsLeftOutWithAWarningAndAGivenOneRefused) {
    const ScratchDir dir;
    const std::string icon = readFile(KR_TEST_ICON);
    const packtest::RunResult crafted =
        packtest::run(KR_TEST_PYTHON, {KR_TEST_CRAFT_SCRIPT, "--pe32-icon", KR_TEST_ICON, dir.file("program32.exe")});
    ASSERT_EQ(crafted.exitCode, 0) << crafted.err;
    const std::vector<std::pair<std::string, std::string>> rows = {
        {"empty.ico", "it is empty"},
        {"notes.txt", "it is neither an icon file nor a Windows executable"},
        {"cut.ico", "it is incomplete: it has " + std::to_string(icon.size() - 1) + " bytes, its images need " +
                        std::to_string(icon.size())},
        {"launcher.exe", "it carries no icon"},
        {"program32.exe", ""},
    };
    writeFile(dir.file("empty.ico"), "");
    writeFile(dir.file("notes.txt"), "This is not an icon.\n");
    writeFile(dir.file("cut.ico"), icon.substr(0, icon.size() - 1));
    writeFile(dir.file("launcher.exe"), readFile(kLauncher));
    const std::string sizes = "16x16, 32x32, 48x48, 256x256";
    for (const auto& [name, reason] : rows) {
        const std::string package = iconicPackage(dir, name);
        const std::string setup = dir.file(name + "-setup.exe");
        const packtest::RunResult packed = packtest::run(KR_TEST_PACKER, {"--launcher", kLauncher, package, setup});
        EXPECT_EQ(packed.exitCode, 0) << name << ": " << packed.err;
        const packtest::RunResult info = packtest::run(KR_TEST_PACKER, {"--info", setup});
        const std::string given = dir.file(name + "-given.exe");
        const packtest::RunResult refused =
            packtest::run(KR_TEST_PACKER, {"--launcher", kLauncher, "--icon", dir.file(name), kPackage, given});
        if (reason.empty()) {
            EXPECT_EQ(packed.err, "");
            EXPECT_NE(packed.out.find("\nIcon: " + sizes + " from the package's Icon table, row 'ProductIcon'\n"),
                      std::string::npos)
                << packed.out;
            EXPECT_NE(info.out.find("\nIcon:         " + sizes + "\n"), std::string::npos) << info.out;
            EXPECT_EQ(refused.exitCode, 0) << refused.err;
            EXPECT_NE(packtest::run(KR_TEST_PACKER, {"--info", given}).out.find("\nIcon:         " + sizes + "\n"),
                      std::string::npos);
            continue;
        }
        EXPECT_EQ(packed.err, "kestrel-pack: warning: The icon 'ProductIcon' in the package '" + package +
                                  "' cannot be used: " + reason + "; the setup is packed without an icon\n");
        EXPECT_NE(packed.out.find("\nIcon: none; the row 'ProductIcon' of the package's Icon table cannot be used: " +
                                  reason + "\n"),
                  std::string::npos)
            << packed.out;
        EXPECT_EQ(info.exitCode, 0) << info.err;
        EXPECT_NE(info.out.find("\nIcon:         none\n"), std::string::npos) << info.out;
        EXPECT_EQ(refused.exitCode, 1);
        EXPECT_EQ(refused.err, "kestrel-pack: The icon '" + dir.file(name) + "' cannot be used: " + reason + "\n");
        EXPECT_EQ(refused.out, "");
        EXPECT_FALSE(std::ifstream(given).good()) << name;
    }
}

// The write fails when the setup is almost complete: the old setup stays, and no temporary file is left.
TEST(PackerRefusal, FailureWhileWritingKeepsTheOldOutput) {
    const ScratchDir out;
    const std::string existing = out.file("setup.exe");
    writeFile(existing, kPrevious);
    packtest::RunOptions limited;
    limited.fileSizeLimit = static_cast<long>(readFile(kLauncher).size());
    const packtest::RunResult result =
        packtest::run(KR_TEST_PACKER, {"--launcher", kLauncher, kPackage, existing}, limited);
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_EQ(result.err, "kestrel-pack: Cannot write '" + existing + "': File too large\n");
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(readFile(existing), kPrevious);
    EXPECT_EQ(out.list(), std::vector<std::string>{"setup.exe"});
}

// The packer, its launcher and the package copied where any user reaches them, to run as a user who may read
// only what any user may.
struct UnprivilegedPacker {
    UnprivilegedPacker() {
        EXPECT_EQ(chmod(dir.path().c_str(), 0755), 0);
        writeFile(packer, readFile(KR_TEST_PACKER));
        writeFile(launcher, readFile(kLauncher));
        writeFile(package, readFile(kPackage));
        EXPECT_EQ(chmod(packer.c_str(), 0755) | chmod(launcher.c_str(), 0644) | chmod(package.c_str(), 0644), 0);
    }

    // Root reads and writes every file, so there the packer runs as nobody; false when that cannot be done.
    bool run(const std::vector<std::string>& args, packtest::RunResult* result) const {
        if (geteuid() != 0) {
            *result = packtest::run(packer, args);
            return true;
        }
        if (packtest::run("setpriv", {"--version"}).exitCode != 0) {
            return false;
        }
        std::vector<std::string> asNobody = {"--reuid=nobody", "--regid=nogroup", "--clear-groups", packer};
        asNobody.insert(asNobody.end(), args.begin(), args.end());
        *result = packtest::run("setpriv", asNobody);
        return true;
    }

    // The user the packer runs as.
    static uid_t user() { return geteuid() == 0 ? getpwnam("nobody")->pw_uid : geteuid(); }

    const ScratchDir dir;
    const std::string packer = dir.file("kestrel-pack");
    const std::string launcher = dir.file("kestrel-launcher.exe");
    const std::string package = dir.file("product.msi");
};

// A package the user may not read is refused with the system's reason.
TEST(PackerRefusal, AnUnreadablePackageIsNamedAsSuch) {
    const UnprivilegedPacker copy;
    ASSERT_EQ(chmod(copy.package.c_str(), 0), 0);
    packtest::RunResult result;
    if (!copy.run({copy.package, copy.dir.file("setup.exe")}, &result)) {
        GTEST_SKIP() << "running as root without setpriv, so every file is readable";
    }
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_EQ(result.err, "kestrel-pack: Cannot open the package '" + copy.package + "': Permission denied\n");
    EXPECT_EQ(copy.dir.list(), (std::vector<std::string>{"kestrel-launcher.exe", "kestrel-pack", "product.msi"}));
}

// Once the setup has replaced the output, the pack is done: a directory that cannot be flushed then (one the user
// may write in and enter but not read) is a warning that a power loss may undo the move, not a failure.
TEST(PackerOutput, AnUnflushableDirectoryAfterTheMoveIsAWarning) {
    const UnprivilegedPacker copy;
    const std::string drop = copy.dir.file("drop");
    const std::string setup = drop + "/setup.exe";
    ASSERT_EQ(mkdir(drop.c_str(), 0700), 0);
    writeFile(setup, kPrevious);
    ASSERT_EQ(chown(drop.c_str(), UnprivilegedPacker::user(), static_cast<gid_t>(-1)) | chmod(drop.c_str(), 0300), 0);
    packtest::RunResult result;
    if (!copy.run({copy.package, setup}, &result)) {
        GTEST_SKIP() << "running as root without setpriv, so every directory is readable";
    }
    EXPECT_EQ(result.exitCode, 0);
    EXPECT_EQ(result.out, packedReport(setup));
    EXPECT_EQ(result.err, "kestrel-pack: warning: wrote '" + setup + "', but cannot flush '" + drop +
                              "' to disk, so a power loss may undo it: Permission denied\n");
    const ScratchDir reference;
    pack::pack({kLauncher, kPackage, reference.file("setup.exe")});
    EXPECT_TRUE(readFile(setup) == readFile(reference.file("setup.exe")));
    ASSERT_EQ(chmod(drop.c_str(), 0700), 0);
    std::vector<std::string> left;
    for (const auto& entry : std::filesystem::directory_iterator(drop)) {
        left.push_back(entry.path().filename().string());
    }
    EXPECT_EQ(left, std::vector<std::string>{"setup.exe"});
}

// Ctrl-C while a setup of 256 MiB is written, and while its package is extracted: the packer ends by the signal (a
// shell reports 130), the old output stays and no temporary file is left. The package is sparse, so it costs no disk.
TEST(Interrupted, PackAndExtractLeaveTheOldOutputAndNoTemporaryFile) {
    const ScratchDir inputs;
    const std::string big = inputs.file("big.msi");
    writeFile(big, readFile(kPackage));
    ASSERT_EQ(truncate(big.c_str(), 256 << 20), 0);
    const std::string bigSetup = inputs.file("big-setup.exe");
    pack::pack({kLauncher, big, bigSetup});

    const ScratchDir out;
    const auto writingTemporary = [&out] {
        for (const std::string& name : out.list()) {
            struct stat status = {};
            if (name.rfind("kvs", 0) == 0 && stat(out.file(name).c_str(), &status) == 0 && status.st_size > 1 << 20) {
                return true;
            }
        }
        return false;
    };
    struct Case {
        std::vector<std::string> args;
        std::vector<std::string> left;
    };
    const std::vector<Case> cases = {
        {{"--launcher", kLauncher, big, out.file("setup.exe")}, {"setup.exe"}},
        {{"--extract", bigSetup, out.file("product.msi")}, {"product.msi", "setup.exe"}},
    };
    for (const Case& interrupted : cases) {
        writeFile(interrupted.args.back(), kPrevious);
        const packtest::RunResult result =
            packtest::runInterrupted(KR_TEST_PACKER, interrupted.args, writingTemporary, SIGINT);
        EXPECT_EQ(result.signal, SIGINT) << interrupted.args[0] << ": " << result.err;
        EXPECT_EQ(readFile(interrupted.args.back()), kPrevious);
        EXPECT_EQ(out.list(), interrupted.left);
    }
}

// `cmake --install` lays out bin/kestrel-pack and share/kestrel/kestrel-launcher.exe; the packer finds its
// launcher there, however it is started, and names where it looked when it is not there.
TEST(InstalledPacker, FindsTheLauncherOfItsTree) {
    const ScratchDir tree;
    const packtest::RunResult install =
        packtest::run(KR_TEST_CMAKE, {"--install", KR_TEST_NATIVE_TREE, "--prefix", tree.path()});
    ASSERT_EQ(install.exitCode, 0) << install.out << install.err;
    const std::string packer = tree.file("bin/kestrel-pack");
    EXPECT_TRUE(readFile(tree.file("share/kestrel/kestrel-launcher.exe")) == readFile(kLauncher));

    const ScratchDir out;
    for (const char* dir : {"direct", "path", "given"}) {
        ASSERT_EQ(mkdir(out.file(dir).c_str(), 0755), 0);
    }
    const packtest::RunResult direct = packtest::run(packer, {kPackage, out.file("direct/setup.exe")});
    EXPECT_EQ(direct.exitCode, 0) << direct.err;
    EXPECT_EQ(direct.out, packedReport(out.file("direct/setup.exe")));
    EXPECT_EQ(direct.err, "");
    packtest::RunOptions onPath;
    onPath.environment = {"PATH=" + tree.file("bin") + ":/usr/bin:/bin"};
    EXPECT_EQ(packtest::run("kestrel-pack", {kPackage, out.file("path/setup.exe")}, onPath).exitCode, 0);
    pack::pack({kLauncher, kPackage, out.file("given/setup.exe")});
    const std::string given = readFile(out.file("given/setup.exe"));
    EXPECT_TRUE(readFile(out.file("direct/setup.exe")) == given);
    EXPECT_TRUE(readFile(out.file("path/setup.exe")) == given);

    // A setup is created executable, as a linker creates its output; an extracted package is not.
    EXPECT_EQ(packtest::run(packer, {"--extract", out.file("path/setup.exe"), out.file("path/product.msi")}).exitCode,
              0);
    const mode_t mask = umask(0);
    umask(mask);
    for (const auto& [name, mode] : {std::pair<std::string, mode_t>{"path/setup.exe", 0777},
                                     std::pair<std::string, mode_t>{"path/product.msi", 0666}}) {
        struct stat status = {};
        ASSERT_EQ(stat(out.file(name).c_str(), &status), 0);
        EXPECT_EQ(status.st_mode & 07777, mode & ~mask) << name;
    }

    // The manual page renders, and its synopsis is the usage of --help.
    packtest::RunOptions plain;
    plain.environment = {"LC_ALL=C", "MANWIDTH=200"};
    const packtest::RunResult page =
        packtest::run("man", {"-l", "-P", "cat", tree.file("share/man/man1/kestrel-pack.1")}, plain);
    EXPECT_EQ(page.exitCode, 0) << page.err;
    std::istringstream help(packtest::run(packer, {"--help"}).out);
    for (std::string line; std::getline(help, line) && !line.empty();) {
        const std::string usage = line.substr(line.find("kestrel-pack"));
        EXPECT_NE(page.out.find("       " + usage + "\n"), std::string::npos) << usage << "\n" << page.out;
    }

    const ScratchDir lonely;
    ASSERT_EQ(mkdir(lonely.file("bin").c_str(), 0755), 0);
    const std::string lonelyPacker = lonely.file("bin/kestrel-pack");
    writeFile(lonelyPacker, readFile(packer));
    ASSERT_EQ(chmod(lonelyPacker.c_str(), 0755), 0);
    const packtest::RunResult missing = packtest::run(lonelyPacker, {kPackage, out.file("setup.exe")});
    EXPECT_EQ(missing.exitCode, 1);
    EXPECT_EQ(missing.err, "kestrel-pack: No launcher found: looked for '" + lonely.file("bin/kestrel-launcher.exe") +
                               "' and '" + lonely.file("share/kestrel/kestrel-launcher.exe") +
                               "'; name one with --launcher\n");
}

} // namespace
