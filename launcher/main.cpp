// The launcher's process entry and installer main routine: install or remove the embedded package.
#include "Crc32c.h"
#include "ErrorHandling.h"
#include "Executor.h"
#include "FileUtils.h"
#include "Guid.h"
#include "MsiCommandLine.h"
#include "MsiUtils.h"
#include "Resources.h"
#include "WinApp.h"
#include "WinSysInfo.h"

#include <windows.h>

#include <algorithm>
#include <new>
#include <string>
#include <vector>

namespace {

// The process exit code; stays -1 unless the main routine reaches an outcome.
int exitCode = -1;

void uninstallProduct() {
    const std::vector<uint8_t> bytes =
        Resource(L"product_code", RT_RCDATA, SysInfo::getCurrentModuleHandle()).readBytes();
    const Guid productCode(std::string(bytes.begin(), bytes.end()));

    const msi::UiLevelScope silentInstaller(INSTALLUILEVEL_NONE);
    msi::uninstall removal;
    const msi::ActionStatus status = removal.productCode(productCode)(std::nothrow);
    exitCode = status.code;
}

// Writes the embedded package to `msiPath`. A setup that carries the package's CRC-32C has it checked from
// the same bytes as they are written, and a damaged package never reaches msiexec; one without is written as
// it is.
void writePackage(const tstring& msiPath) {
    const HMODULE module = SysInfo::getCurrentModuleHandle();
    const Resource package(L"msi", RT_RCDATA, module);
    const Resource digest(L"msi_digest", RT_RCDATA, module);
    if (!digest.exists()) {
        package.writeToFile(msiPath);
        return;
    }
    const std::vector<uint8_t> stored = digest.readBytes();
    package.writeToFile(msiPath, [&stored](const Crc32c& written) {
        if (std::string(stored.begin(), stored.end()) != written.text()) {
            const tstring setup = FileUtils::basename(SysInfo::getProcessModulePath());
            KR_RAISE(MessageBuilder() << "The installer package inside " << setup << " is damaged; download "
                                      << setup << " again");
        }
    });
}

void installPackage() {
    const tstring base = SysInfo::getTempDir();
    if (base.empty()) {
        // Every path would then be relative to the current directory: a download folder, or System32 for a
        // service. Nothing is written there.
        KR_RAISE("The system reports no temporary directory; check the TMP and TEMP variables");
    }
    // Nobody may move the directory away, nor change or replace the package in it, until msiexec has exited
    // and the directory has been emptied: its content is deleted while the directory is still held, so that
    // no link put in its place can lead the deletion elsewhere. Only the empty directory itself is removed
    // after the hold, by its path.
    FileUtils::Deleter removeDirectory;
    FileUtils::PathHold heldDir;
    const tstring tempDir = FileUtils::createTempDirectory(L"", L".tmp", base, heldDir);
    removeDirectory.appendEmptyDirectory(tempDir);
    FileUtils::Deleter removeContent;
    removeContent.appendRecursiveDirectory(tempDir);

    const tstring msiPath = FileUtils::PathBuilder() << tempDir << L"main.msi";
    writePackage(msiPath);
    const FileUtils::PathHold heldPackage(msiPath);

    // The caller's arguments reach msiexec as they were typed: split and joined again, a value ending in a
    // backslash would swallow the options after it.
    Executor executor(SysInfo::getMsiexecPath());
    executor.addArg(L"/i").addArg(msiPath).setArgumentText(msi::forwardedArgumentText(SysInfo::getArgumentText()));
    exitCode = executor.execAndWaitForExit();
}

void launcherMain() {
    const tstring_array args = SysInfo::getCommandArgs(SysInfo::CommandArgProgramNameMode::ExcludeProgramName);
    if (std::find(args.begin(), args.end(), tstring(L"uninstall")) != args.end()) {
        uninstallProduct();
    } else {
        installPackage();
    }
}

} // namespace

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
    // Before anything can load a library by name: none may come from beside setup.exe.
    SysInfo::restrictLibrarySearch();
    app::wlaunch(std::nothrow, launcherMain);
    return exitCode;
}
