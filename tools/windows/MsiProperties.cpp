// Reading the Property table of an installer package through msi.dll.
#include "PackError.h"
#include "Platform.h"
#include "WideText.h"

#include "Log.h"
#include "MsiDatabase.h"
#include "WinErrorHandling.h"

#include <windows.h>

namespace pack::platform {

namespace {

// The database reader traces its steps to the process's logger; the packer reports for itself, so the records
// go nowhere while this lives.
class QuietLogger {
public:
    QuietLogger() : saved_(Logger::global().setAppender(&nop_)) {}
    ~QuietLogger() { Logger::global().setAppender(saved_); }
    QuietLogger(const QuietLogger&) = delete;
    QuietLogger& operator=(const QuietLogger&) = delete;

private:
    NopLogAppender nop_;
    LogAppender* saved_;
};

// The installer reports a file it may not read as no package; opening it first gives the system's reason.
void requireReadable(const std::string& packagePath) {
    const HANDLE file = CreateFileW(widen(packagePath).c_str(), GENERIC_READ,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        const DWORD code = GetLastError();
        throw Error("Cannot open the package '" + packagePath + "': " + narrow(getSystemErrorText(code, nullptr)));
    }
    CloseHandle(file);
}

} // namespace

std::map<std::string, std::string> readProperties(const std::string& packagePath) {
    requireReadable(packagePath);
    const QuietLogger quiet;
    try {
        const msi::Database database(widen(packagePath));
        std::map<std::string, std::string> properties;
        for (const auto& [name, value] : database.properties()) {
            properties[narrow(name)] = narrow(value);
        }
        return properties;
    } catch (const KrErrorBase& error) {
        throw Error(error.bareMessage());
    }
}

} // namespace pack::platform
