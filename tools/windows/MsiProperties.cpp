// Reading the Property table of an installer package through msi.dll.
#include "PackError.h"
#include "Platform.h"
#include "WideText.h"

#include "Log.h"
#include "MsiDatabase.h"

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

} // namespace

std::map<std::string, std::string> readProperties(const std::string& packagePath) {
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
