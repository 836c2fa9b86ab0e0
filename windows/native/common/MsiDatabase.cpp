// Reading the Property table of an installer database through a view and its records.
#include "MsiDatabase.h"

#include "ErrorHandling.h"
#include "Log.h"
#include "WinErrorHandling.h"

#include <msiquery.h>

#include <vector>

namespace msi {

namespace {

constexpr DWORD kFieldBufferSize = 128;

tstring getRecordString(MSIHANDLE record, UINT field, const tstring& databasePath) {
    std::vector<wchar_t> buffer(kFieldBufferSize);
    for (;;) {
        DWORD length = static_cast<DWORD>(buffer.size());
        const UINT result = MsiRecordGetStringW(record, field, buffer.data(), &length);
        if (result == ERROR_SUCCESS) {
            return tstring(buffer.data(), length);
        }
        if (result != ERROR_MORE_DATA) {
            KR_RAISE(SysError(MessageBuilder() << "Cannot read field " << field << " of a Property row of '"
                                               << databasePath << "'",
                              MsiRecordGetStringW, result, "System error"));
        }
        // `length` is now the value's length without its terminator.
        buffer.resize(static_cast<size_t>(length) + 1);
    }
}

} // namespace

Handle::~Handle() {
    if (handle_) {
        const LastErrorPreserver preserver;
        MsiCloseHandle(handle_);
    }
}

Handle::Handle(Handle&& other) noexcept : handle_(other.handle_) { other.handle_ = 0; }

Handle& Handle::operator=(Handle&& other) noexcept {
    if (this != &other) {
        Handle discarded(handle_);
        handle_ = other.handle_;
        other.handle_ = 0;
    }
    return *this;
}

Database::Database(const tstring& path) : path_(path) {
    MSIHANDLE opened = 0;
    const UINT result = MsiOpenDatabaseW(path.c_str(), MSIDBOPEN_READONLY, &opened);
    if (result != ERROR_SUCCESS) {
        KR_RAISE(SysError(MessageBuilder() << "Cannot open '" << path << "' as a Windows Installer package",
                          MsiOpenDatabaseW, result, "System error"));
    }
    handle_ = Handle(opened);
    KR_TRACE("Opened installer database '" << path << "' read-only");
}

std::map<tstring, tstring> Database::properties() const {
    std::map<tstring, tstring> values;
    // A database without the table (a merge module, say) has no properties rather than a broken query.
    const MSICONDITION persistent = MsiDatabaseIsTablePersistentW(handle_.get(), L"Property");
    if (persistent == MSICONDITION_ERROR) {
        KR_RAISE(MessageBuilder() << "Cannot read the Property table of '" << path_ << "'");
    }
    if (persistent != MSICONDITION_TRUE) {
        return values;
    }

    MSIHANDLE opened = 0;
    const UINT openResult = MsiDatabaseOpenViewW(handle_.get(), L"SELECT Property, Value FROM Property", &opened);
    if (openResult != ERROR_SUCCESS) {
        KR_RAISE(SysError(MessageBuilder() << "Cannot query the Property table of '" << path_ << "'",
                          MsiDatabaseOpenViewW, openResult, "System error"));
    }
    const Handle view(opened);
    const UINT executeResult = MsiViewExecute(view.get(), 0);
    if (executeResult != ERROR_SUCCESS) {
        KR_RAISE(SysError(MessageBuilder() << "Cannot query the Property table of '" << path_ << "'", MsiViewExecute,
                          executeResult, "System error"));
    }
    for (;;) {
        MSIHANDLE fetched = 0;
        const UINT fetchResult = MsiViewFetch(view.get(), &fetched);
        if (fetchResult == ERROR_NO_MORE_ITEMS) {
            break;
        }
        if (fetchResult != ERROR_SUCCESS) {
            KR_RAISE(SysError(MessageBuilder() << "Cannot read the Property table of '" << path_ << "'", MsiViewFetch,
                              fetchResult, "System error"));
        }
        const Handle record(fetched);
        const tstring name = getRecordString(record.get(), 1, path_);
        values[name] = getRecordString(record.get(), 2, path_);
    }
    KR_TRACE("Read " << values.size() << " properties of '" << path_ << "'");
    return values;
}

tstring Database::getProperty(const tstring& name) const {
    const std::map<tstring, tstring> values = properties();
    const auto found = values.find(name);
    if (found == values.end()) {
        KR_RAISE(MessageBuilder() << "'" << path_ << "' has no property " << name);
    }
    return found->second;
}

} // namespace msi
