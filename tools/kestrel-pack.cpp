// kestrel-pack: the packer's command line; turns an installer package into its own setup executable.
#include "FileUtils.h"
#include "Packer.h"
#include "WinSysInfo.h"
#include "app.h"

#include <windows.h>

#include <cstdio>
#include <new>
#include <string>

namespace {

constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

const wchar_t kUsageLine[] = L"Usage: kestrel-pack [--launcher <kestrel-launcher.exe>] <product.msi> <setup.exe>";

const wchar_t kHelpText[] =
    L"\n\n"
    L"Packs a Windows Installer package into a copy of the Kestrel launcher. The resulting setup.exe\n"
    L"installs the product when run (its arguments go to msiexec, so /qn installs silently) and\n"
    L"removes it when run with the argument \"uninstall\". Its version block describes the product.\n"
    L"\n"
    L"  --launcher <file>  the launcher to pack into; by default kestrel-launcher.exe beside kestrel-pack\n"
    L"  -h, --help         show this help and exit\n"
    L"  --version          show the packer's version and exit\n"
    L"\n"
    L"Exit codes: 0 packed, 1 packing failed (the output is left as it was), 2 wrong usage.";

// Text for a console in UTF-16, so any product name shows; for a pipe or a file as UTF-8.
void writeLine(DWORD streamId, const tstring& text) {
    const HANDLE stream = GetStdHandle(streamId);
    DWORD mode = 0;
    const tstring line = text + L"\n";
    if (GetConsoleMode(stream, &mode)) {
        DWORD written = 0;
        WriteConsoleW(stream, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
        return;
    }
    const std::string bytes = tstrings::encodeUtf8(line);
    std::FILE* file = streamId == STD_ERROR_HANDLE ? stderr : stdout;
    std::fwrite(bytes.data(), 1, bytes.size(), file);
    std::fflush(file);
}

// The report of a failed pack: the error's message after the program's name.
class PackErrorAppender : public LogAppender {
public:
    void append(const LogEvent&) override {
        writeLine(STD_ERROR_HANDLE, L"kestrel-pack: " + tstrings::decodeUtf8(app::lastErrorMsg()));
    }
};

struct CommandLine {
    bool help = false;
    bool version = false;
    tstring launcher;
    tstring_array operands;
    tstring problem; // empty when the arguments make sense
};

CommandLine parseCommandLine(const tstring_array& args) {
    CommandLine parsed;
    const tstring launcherPrefix = L"--launcher=";
    bool optionsEnded = false;
    for (size_t i = 0; i < args.size() && parsed.problem.empty(); ++i) {
        const tstring& arg = args[i];
        if (optionsEnded || arg.empty() || arg[0] != L'-' || arg == L"-") {
            parsed.operands.push_back(arg);
        } else if (arg == L"--") {
            optionsEnded = true;
        } else if (arg == L"-h" || arg == L"--help") {
            parsed.help = true;
        } else if (arg == L"--version") {
            parsed.version = true;
        } else if (arg == L"--launcher" || arg.compare(0, launcherPrefix.size(), launcherPrefix) == 0) {
            tstring value;
            if (arg != L"--launcher") {
                value = arg.substr(launcherPrefix.size());
            } else if (i + 1 < args.size()) {
                value = args[++i];
            }
            if (!parsed.launcher.empty()) {
                parsed.problem = L"--launcher is given more than once";
            } else if (value.empty()) {
                parsed.problem = L"--launcher needs the path of a launcher";
            }
            parsed.launcher = value;
        } else {
            parsed.problem = L"unknown option '" + arg + L"'";
        }
    }
    if (parsed.problem.empty() && !parsed.help && !parsed.version) {
        if (parsed.operands.size() != 2) {
            parsed.problem = MessageBuilder() << "expected a package and an output file, got " << parsed.operands.size()
                                              << (parsed.operands.size() == 1 ? " argument" : " arguments");
        } else if (parsed.operands[0].empty() || parsed.operands[1].empty()) {
            parsed.problem = L"a file name is empty";
        }
    }
    return parsed;
}

tstring formatSize(uint64_t bytes) {
    tstring digits = std::to_wstring(bytes);
    for (size_t end = digits.size(); end > 3; end -= 3) {
        digits.insert(end - 3, 1, L',');
    }
    return digits + L" bytes";
}

int exitCode = kExitFailure;

void packMain() {
    const CommandLine commandLine =
        parseCommandLine(SysInfo::getCommandArgs(SysInfo::CommandArgProgramNameMode::ExcludeProgramName));
    if (!commandLine.problem.empty()) {
        writeLine(STD_ERROR_HANDLE, L"kestrel-pack: " + commandLine.problem);
        writeLine(STD_ERROR_HANDLE, kUsageLine);
        writeLine(STD_ERROR_HANDLE, L"Try 'kestrel-pack --help' for more.");
        exitCode = kExitUsage;
        return;
    }
    if (commandLine.help) {
        writeLine(STD_OUTPUT_HANDLE, tstring(kUsageLine) + kHelpText);
        exitCode = 0;
        return;
    }
    if (commandLine.version) {
        writeLine(STD_OUTPUT_HANDLE, L"kestrel-pack " KR_WIDEN(KR_VERSION_TEXT));
        exitCode = 0;
        return;
    }

    pack::PackRequest request;
    request.packagePath = commandLine.operands[0];
    request.outputPath = commandLine.operands[1];
    request.launcherPath =
        commandLine.launcher.empty()
            ? FileUtils::combinePath(FileUtils::dirname(SysInfo::getProcessModulePath()), L"kestrel-launcher.exe")
            : commandLine.launcher;
    const pack::PackSummary summary = pack::pack(request);

    MessageBuilder product;
    product << "Packed " << (summary.productName.empty() ? tstring(L"a product without name") : summary.productName);
    if (!summary.productVersion.empty()) {
        product << " " << summary.productVersion;
    }
    if (!summary.manufacturer.empty()) {
        product << " by " << summary.manufacturer;
    }
    writeLine(STD_OUTPUT_HANDLE, product << ", product code " << summary.productCode.toString());
    writeLine(STD_OUTPUT_HANDLE, MessageBuilder() << "Wrote " << summary.outputPath << " with a package of "
                                                  << formatSize(summary.packageSize));
    exitCode = 0;
}

} // namespace

int wmain(int, wchar_t**) {
    PackErrorAppender errorAppender;
    if (app::launch(std::nothrow, packMain, &errorAppender) != 0) {
        return kExitFailure;
    }
    return exitCode;
}
