// Reading the Property and Icon tables of an installer package through libmsi, the library of msitools.
#include "LibmsiReader.h"

#include "FileDescriptor.h"
#include "PackError.h"
#include "io/ReaderProtocol.h"
#include "text/Text.h"

#include <libmsi.h>

#include <gio/gio.h>

#include <fcntl.h>

#include <cerrno>
#include <cstring>
#include <memory>

namespace pack::platform::libmsi {

namespace {

struct ObjectUnref {
    void operator()(gpointer object) const { g_object_unref(object); }
};
template <class T>
using GObjectPtr = std::unique_ptr<T, ObjectUnref>;

struct ErrorFree {
    void operator()(GError* error) const { g_error_free(error); }
};
using ErrorPtr = std::unique_ptr<GError, ErrorFree>;

struct StringFree {
    void operator()(gchar* text) const { g_free(text); }
};
using StringPtr = std::unique_ptr<gchar, StringFree>;

// ": <libmsi's text>", escaped since it may quote the file, or nothing when it gave none.
std::string detail(const ErrorPtr& error) {
    return error && error->message ? ": " + printable(error->message) : std::string();
}

std::string field(LibmsiRecord* record, guint index) {
    const StringPtr text(libmsi_record_get_string(record, index));
    return text ? std::string(text.get()) : std::string();
}

// libmsi tells a file it may not read from one that is no package only by its warnings; opening it first gives the
// system's reason.
void requireReadable(const std::string& packagePath) {
    const FileDescriptor opened(::open(packagePath.c_str(), O_RDONLY | O_CLOEXEC));
    if (opened.get() < 0) {
        const int code = errno;
        throw Error("Cannot open the package " + quoted(packagePath) + ": " + std::strerror(code));
    }
}

GObjectPtr<LibmsiDatabase> openDatabase(const std::string& packagePath) {
    requireReadable(packagePath);
    GError* raw = nullptr;
    GObjectPtr<LibmsiDatabase> database(
        libmsi_database_new(packagePath.c_str(), LIBMSI_DB_FLAGS_READONLY, nullptr, &raw));
    const ErrorPtr error(raw);
    if (!database) {
        throw Error("Cannot open " + quoted(packagePath) + " as a Windows Installer package" + detail(error));
    }
    return database;
}

// A database without the table (a merge module, say) has no rows rather than a broken query; any other failure
// raises Error naming the package.
bool hasTable(LibmsiDatabase* database, const char* table, const std::string& packagePath) {
    GError* raw = nullptr;
    const bool persistent = libmsi_database_is_table_persistent(database, table, &raw);
    const ErrorPtr error(raw);
    if (error && !g_error_matches(error.get(), LIBMSI_RESULT_ERROR, LIBMSI_RESULT_INVALID_TABLE)) {
        throw Error(std::string("Cannot read the ") + table + " table of " + quoted(packagePath) + detail(error));
    }
    return persistent;
}

// Runs `sql` with `parameters` (or none); raises Error naming the table when it fails.
GObjectPtr<LibmsiQuery> runQuery(LibmsiDatabase* database, const char* sql, LibmsiRecord* parameters,
                                 const char* table, const std::string& packagePath) {
    GError* raw = nullptr;
    GObjectPtr<LibmsiQuery> query(libmsi_query_new(database, sql, &raw));
    ErrorPtr error(raw);
    raw = nullptr;
    if (!query || !libmsi_query_execute(query.get(), parameters, &raw)) {
        error.reset(raw);
        throw Error(std::string("Cannot query the ") + table + " table of " + quoted(packagePath) + detail(error));
    }
    return query;
}

} // namespace

std::map<std::string, std::string> readProperties(const std::string& packagePath) {
    const GObjectPtr<LibmsiDatabase> database = openDatabase(packagePath);
    std::map<std::string, std::string> properties;
    if (!hasTable(database.get(), "Property", packagePath)) {
        return properties;
    }
    const GObjectPtr<LibmsiQuery> query =
        runQuery(database.get(), "SELECT `Property`, `Value` FROM `Property`", nullptr, "Property", packagePath);
    ErrorPtr error;
    for (;;) {
        GError* raw = nullptr;
        const GObjectPtr<LibmsiRecord> record(libmsi_query_fetch(query.get(), &raw));
        error.reset(raw);
        if (!record) {
            break;
        }
        properties[field(record.get(), 1)] = field(record.get(), 2);
    }
    // The end of the rows is a record of null and no error.
    if (error) {
        throw Error("Cannot read the Property table of " + quoted(packagePath) + detail(error));
    }
    return properties;
}

std::optional<std::vector<uint8_t>> readIconRow(const std::string& packagePath, const std::string& name) {
    const GObjectPtr<LibmsiDatabase> database = openDatabase(packagePath);
    if (!hasTable(database.get(), "Icon", packagePath)) {
        return std::nullopt;
    }
    const GObjectPtr<LibmsiRecord> key(libmsi_record_new(1));
    libmsi_record_set_string(key.get(), 1, name.c_str());
    const GObjectPtr<LibmsiQuery> query =
        runQuery(database.get(), "SELECT `Data` FROM `Icon` WHERE `Name` = ?", key.get(), "Icon", packagePath);
    GError* raw = nullptr;
    const GObjectPtr<LibmsiRecord> record(libmsi_query_fetch(query.get(), &raw));
    ErrorPtr error(raw);
    const std::string failure = "Cannot read the Icon table of " + quoted(packagePath);
    if (!record) {
        if (error) {
            throw Error(failure + detail(error));
        }
        return std::nullopt;
    }
    const GObjectPtr<GInputStream> stream(libmsi_record_get_stream(record.get(), 1));
    std::vector<uint8_t> bytes;
    while (stream) {
        uint8_t piece[65536];
        raw = nullptr;
        const gssize count = g_input_stream_read(stream.get(), piece, sizeof(piece), nullptr, &raw);
        error.reset(raw);
        if (count < 0) {
            throw Error(failure + detail(error));
        }
        if (count == 0) {
            break;
        }
        if (bytes.size() + static_cast<size_t>(count) > reader::kMaxIconRowSize) {
            throw Error(reader::oversizedIconRowMessage(packagePath, name));
        }
        bytes.insert(bytes.end(), piece, piece + count);
    }
    return bytes;
}

} // namespace pack::platform::libmsi
