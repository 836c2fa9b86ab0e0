// Reading the Property table of an installer package through libmsi, the library of msitools.
#include "PackError.h"
#include "Platform.h"

#include <libmsi.h>

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>

namespace pack::platform {

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

// libmsi reports a file it cannot open as a warning of its own on standard error; the packer's message says it
// instead, so such warnings are dropped while this lives.
class QuietLibraryWarnings {
public:
    QuietLibraryWarnings()
        : handler_(g_log_set_handler(
              nullptr, static_cast<GLogLevelFlags>(G_LOG_LEVEL_WARNING | G_LOG_LEVEL_MESSAGE),
              [](const gchar*, GLogLevelFlags, const gchar*, gpointer) {}, nullptr)) {}
    ~QuietLibraryWarnings() { g_log_remove_handler(nullptr, handler_); }
    QuietLibraryWarnings(const QuietLibraryWarnings&) = delete;
    QuietLibraryWarnings& operator=(const QuietLibraryWarnings&) = delete;

private:
    guint handler_;
};

// ": <libmsi's text>", or nothing when it gave none.
std::string detail(const ErrorPtr& error) { return error && error->message ? std::string(": ") + error->message : ""; }

std::string field(LibmsiRecord* record, guint index) {
    const StringPtr text(libmsi_record_get_string(record, index));
    return text ? std::string(text.get()) : std::string();
}

// libmsi tells a file it may not read from one that is no package only by its warnings; opening it first gives the
// system's reason.
void requireReadable(const std::string& packagePath) {
    const int fd = ::open(packagePath.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        const int code = errno;
        throw Error("Cannot open the package '" + packagePath + "': " + std::strerror(code));
    }
    ::close(fd);
}

} // namespace

std::map<std::string, std::string> readProperties(const std::string& packagePath) {
    requireReadable(packagePath);
    const QuietLibraryWarnings quiet;
    GError* raw = nullptr;
    const GObjectPtr<LibmsiDatabase> database(
        libmsi_database_new(packagePath.c_str(), LIBMSI_DB_FLAGS_READONLY, nullptr, &raw));
    ErrorPtr error(raw);
    if (!database) {
        throw Error("Cannot open '" + packagePath + "' as a Windows Installer package" + detail(error));
    }
    std::map<std::string, std::string> properties;
    // A database without the table (a merge module, say) has no properties rather than a broken query.
    raw = nullptr;
    const bool hasTable = libmsi_database_is_table_persistent(database.get(), "Property", &raw);
    error.reset(raw);
    if (!hasTable) {
        return properties;
    }
    raw = nullptr;
    const GObjectPtr<LibmsiQuery> query(
        libmsi_query_new(database.get(), "SELECT `Property`, `Value` FROM `Property`", &raw));
    error.reset(raw);
    raw = nullptr;
    if (!query || !libmsi_query_execute(query.get(), nullptr, &raw)) {
        error.reset(raw);
        throw Error("Cannot query the Property table of '" + packagePath + "'" + detail(error));
    }
    for (;;) {
        raw = nullptr;
        const GObjectPtr<LibmsiRecord> record(libmsi_query_fetch(query.get(), &raw));
        error.reset(raw);
        if (!record) {
            break;
        }
        properties[field(record.get(), 1)] = field(record.get(), 2);
    }
    // The end of the rows is a record of null and no error.
    if (error) {
        throw Error("Cannot read the Property table of '" + packagePath + "'" + detail(error));
    }
    return properties;
}

} // namespace pack::platform
