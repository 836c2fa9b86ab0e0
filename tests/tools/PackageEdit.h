// Test support for the packer's tests: copies of a test package changed by SQL statements.
#pragma once

#include "krpack.h"
#include "krtest.h"

#include <windows.h>
#include <msi.h>
#include <msiquery.h>

#include <stdexcept>
#include <string>
#include <vector>

namespace packtest {

class MsiHandle {
public:
    MsiHandle() = default;
    ~MsiHandle() {
        if (handle) {
            MsiCloseHandle(handle);
        }
    }
    MsiHandle(const MsiHandle&) = delete;
    MsiHandle& operator=(const MsiHandle&) = delete;
    MSIHANDLE handle = 0;
};

inline void check(UINT result, const std::string& what) {
    if (result != ERROR_SUCCESS) {
        throw std::runtime_error(what + " failed with " + std::to_string(result));
    }
}

// Copies `source` to `destination` and runs each statement on the copy in one committed transaction.
inline void editCopy(const std::wstring& source, const std::wstring& destination,
                     const std::vector<std::wstring>& statements) {
    if (!CopyFileW(source.c_str(), destination.c_str(), FALSE)) {
        throw std::runtime_error("CopyFile failed for " + krtest::utf8(source));
    }
    MsiHandle database;
    check(MsiOpenDatabaseW(destination.c_str(), MSIDBOPEN_TRANSACT, &database.handle), "MsiOpenDatabase");
    for (const std::wstring& statement : statements) {
        MsiHandle view;
        check(MsiDatabaseOpenViewW(database.handle, statement.c_str(), &view.handle),
              "MsiDatabaseOpenView(" + krtest::utf8(statement) + ")");
        check(MsiViewExecute(view.handle, 0), "MsiViewExecute(" + krtest::utf8(statement) + ")");
        check(MsiViewClose(view.handle), "MsiViewClose");
    }
    check(MsiDatabaseCommit(database.handle), "MsiDatabaseCommit");
}

} // namespace packtest
