// Reading the Property and Icon tables of an installer package through msi.dll.
#include "MsiReader.h"

#include "io/ReaderProtocol.h"
#include "PackError.h"
#include "WideText.h"

#include "Log.h"
#include "MsiDatabase.h"
#include "OwnedHandle.h"
#include "WinErrorHandling.h"

#include <windows.h>

#include <msiquery.h>

namespace pack::platform::msidll {

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

// Raises Error with `what` and the installer's result unless the call succeeded.
void require(UINT result, const std::string& what) {
    if (result != ERROR_SUCCESS) {
        throw Error(what + ": error " + std::to_string(result));
    }
}

// The installer reports a file it may not read as no package; opening it first gives the system's reason.
void requireReadable(const std::string& packagePath) {
    const HANDLE opened = CreateFileW(widen(packagePath).c_str(), GENERIC_READ,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                      FILE_ATTRIBUTE_NORMAL, nullptr);
    const DWORD code = GetLastError();
    if (opened == INVALID_HANDLE_VALUE) {
        throw Error("Cannot open the package " + quoted(packagePath) + ": " + narrow(getSystemErrorText(code, nullptr)));
    }
    const OwnedHandle file(opened);
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
        // The package's path and the system's text: nothing read from the file.
        throw Error(error.bareMessage());
    }
}

std::optional<std::vector<uint8_t>> readIconRow(const std::string& packagePath, const std::string& name) {
    MSIHANDLE opened = 0;
    require(MsiOpenDatabaseW(widen(packagePath).c_str(), MSIDBOPEN_READONLY, &opened),
            "Cannot open " + quoted(packagePath) + " as a Windows Installer package");
    const msi::Handle database(opened);
    const std::string failure = "Cannot read the Icon table of " + quoted(packagePath);
    // A database without the table (a merge module, say) has no rows rather than a broken query.
    const MSICONDITION persistent = MsiDatabaseIsTablePersistentW(database.get(), L"Icon");
    if (persistent == MSICONDITION_ERROR) {
        throw Error(failure);
    }
    if (persistent != MSICONDITION_TRUE) {
        return std::nullopt;
    }
    require(MsiDatabaseOpenViewW(database.get(), L"SELECT `Data` FROM `Icon` WHERE `Name` = ?", &opened), failure);
    const msi::Handle view(opened);
    const msi::Handle key(MsiCreateRecord(1));
    require(MsiRecordSetStringW(key.get(), 1, widen(name).c_str()), failure);
    require(MsiViewExecute(view.get(), key.get()), failure);
    const UINT fetched = MsiViewFetch(view.get(), &opened);
    if (fetched == ERROR_NO_MORE_ITEMS) {
        return std::nullopt;
    }
    require(fetched, failure);
    const msi::Handle record(opened);
    std::vector<uint8_t> bytes;
    if (MsiRecordIsNull(record.get(), 1)) {
        return bytes;
    }
    if (MsiRecordDataSize(record.get(), 1) > reader::kMaxIconRowSize) {
        throw Error(reader::oversizedIconRowMessage(packagePath, name));
    }
    for (;;) {
        char piece[65536];
        DWORD count = sizeof(piece);
        require(MsiRecordReadStream(record.get(), 1, piece, &count), failure);
        if (count == 0) {
            return bytes;
        }
        if (bytes.size() + count > reader::kMaxIconRowSize) {
            throw Error(reader::oversizedIconRowMessage(packagePath, name));
        }
        bytes.insert(bytes.end(), piece, piece + count);
    }
}

} // namespace pack::platform::msidll
