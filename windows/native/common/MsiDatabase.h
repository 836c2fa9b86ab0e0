// Read-only access to an installer database: its Property table, through the Windows Installer database functions.
#pragma once

#include "tstrings.h"

#include <windows.h>
#include <msi.h>

#include <map>

namespace msi {

// The single owner of one MSIHANDLE: closes it on destruction; 0 is never closed.
class Handle {
public:
    Handle() = default;
    explicit Handle(MSIHANDLE handle) : handle_(handle) {}
    ~Handle();
    Handle(Handle&& other) noexcept;
    Handle& operator=(Handle&& other) noexcept;
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;

    MSIHANDLE get() const { return handle_; }

private:
    MSIHANDLE handle_ = 0;
};

class Database {
public:
    // Opens the file read-only; raises an error naming it when it is not an installer database.
    explicit Database(const tstring& path);

    // Every row of the Property table, by property name; empty when the database has no such table.
    std::map<tstring, tstring> properties() const;

    // The value of one property; raises an error naming the database and the property when it is absent.
    tstring getProperty(const tstring& name) const;

    const tstring& path() const { return path_; }

private:
    tstring path_;
    Handle handle_;
};

} // namespace msi
