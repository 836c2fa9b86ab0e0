// The usage lines and the help text; the manual page is made from them.
#include "Help.h"

namespace pack {

namespace {

const char kUsageLines[] = "Usage: kestrel-pack [--launcher <kestrel-launcher.exe>] [--icon <file.ico> | --no-icon] "
                           "<product.msi> <setup.exe>\n"
                           "       kestrel-pack --info <setup.exe> [--json]\n"
                           "       kestrel-pack --extract <setup.exe> <product.msi> [--force]";

const char kHelpText[] =
    "\n\n"
    "Packs a Windows Installer package into a copy of the Kestrel launcher. The resulting setup.exe\n"
    "installs the product when run (its arguments go to msiexec, so /qn installs silently) and\n"
    "removes it when run with the argument \"uninstall\". Its version block describes the product, and\n"
    "it carries a CRC-32C digest of the package that the launcher checks before it installs.\n"
    "\n"
    "  --launcher <file>  the launcher to pack into; by default kestrel-launcher.exe beside kestrel-pack,\n"
    "                     else ../share/kestrel/kestrel-launcher.exe from its directory\n"
    "  --icon <file>      give the setup this icon: an .ico file, or an executable's first icon; by default\n"
    "                     the setup gets the icon that ARPPRODUCTICON names in the package's Icon table\n"
    "  --no-icon          give the setup no icon\n"
    "  --info             describe a setup: its product, package size, digest and whether the package\n"
    "                     matches it, whether the file carries an Authenticode signature (not verified),\n"
    "                     the sizes of its icon, and the Kestrel version that packed it\n"
    "  --json             with --info: the same facts as one JSON object; when the file is no readable\n"
    "                     setup, an object of \"setup\" and \"error\"\n"
    "  --extract          write the package a setup carries, byte for byte; the output is replaced only\n"
    "                     by a complete package\n"
    "  --force            with --extract: extract a package that does not match its digest\n"
    "  -h, --help         show this help and exit\n"
    "  --version          show the packer's version and exit\n"
    "\n"
    "A setup is signed after packing (signtool or osslsigncode); a signed launcher is not packed.\n"
    "\n"
    "Exit codes: 0 done; 1 failed (the output is left as it was), or with --info and --extract the setup's\n"
    "package is damaged or the file is no Kestrel setup, or the report could not be written to standard\n"
    "output; 2 wrong usage.";

} // namespace

const char* usageLines() { return kUsageLines; }

std::string helpText() { return std::string(kUsageLines) + kHelpText; }

} // namespace pack
