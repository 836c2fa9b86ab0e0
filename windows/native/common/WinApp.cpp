// Windows layer of the launch frame: console channels for debug output and the last-error message box.
#include "WinApp.h"

#include "FileUtils.h"
#include "WinErrorHandling.h"
#include "WinSysInfo.h"

#include <windows.h>

namespace app {

int wlaunch(const std::nothrow_t&, const MainRoutine& mainRoutine) noexcept {
    std::unique_ptr<Console> console;
    runGuarded(KR_HERE, [&console] {
        if (isDebugLoggingEnabled()) {
            console = std::make_unique<Console>();
        }
    });
    // Where nobody can see a box, nobody can close it either: the failure is then reported on standard error
    // and in its record only, and the run ends at once.
    if (!SysInfo::isWindowStationVisible()) {
        return launch(std::nothrow, mainRoutine, &defaultLastErrorAppender());
    }
    LastErrorGuiLogAppender guiAppender;
    TeeLogAppender lastErrorAppenders(&defaultLastErrorAppender(), &guiAppender);
    return launch(std::nothrow, mainRoutine, &lastErrorAppenders);
}

} // namespace app

Channel::Channel(FILE* stream) : reopened_(nullptr) {
    const bool input = stream == stdin;
    // A failed reopen leaves reopened_ null: nothing to close, and the stream leads nowhere.
    freopen_s(&reopened_, input ? "CONIN$" : "CONOUT$", input ? "r" : "w", stream);
}

Channel::~Channel() {
    const LastErrorPreserver preserver;
    if (reopened_) {
        fclose(reopened_);
    }
}

Console::Console() {
    if (!AttachConsole(ATTACH_PARENT_PROCESS) && !AllocConsole()) {
        return;
    }
    out_ = std::make_unique<Channel>(stdout);
    err_ = std::make_unique<Channel>(stderr);
}

void LastErrorGuiLogAppender::append(const LogEvent&) {
    if (appending_) {
        return;
    }
    appending_ = true;
    runGuarded(KR_HERE, [] {
        const tstring text = tstrings::decodeUtf8(app::lastErrorMsg());
        const tstring caption = FileUtils::basename(SysInfo::getProcessModulePath());
        MessageBoxW(nullptr, text.c_str(), caption.c_str(), MB_ICONERROR);
    });
    appending_ = false;
}
