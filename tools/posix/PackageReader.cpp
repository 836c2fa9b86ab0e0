// The package read in a child: platform::readProperties and readIconRow re-run the packer as the reading child,
// which reads with libmsi, keeps the library's log to itself and may crash without taking the packer along.
#include "PackageReader.h"

#include "ChildProcess.h"
#include "cli/Command.h"
#include "LibmsiReader.h"
#include "PackError.h"
#include "io/Platform.h"
#include "io/ReaderProtocol.h"

#include <glib.h>

#include <sys/resource.h>
#include <unistd.h>
#ifdef __linux__
#include <sys/prctl.h>
#endif

#include <cerrno>
#include <csignal>

namespace pack::platform {

namespace {

// The running program itself, whatever name or link it was started by.
const char kSelf[] = "/proc/self/exe";

// The child's complete answer; a child that crashed, hung, wrote too much or failed counts as a damaged package.
std::string askReader(const std::vector<std::string>& request, const std::string& packagePath) {
    const ChildResult result = runChild(kSelf, request, std::chrono::seconds(reader::kTimeLimitSeconds),
                                        reader::kMaxAnswerSize);
    if (result.end != ChildResult::End::Exited || result.status != kExitSuccess) {
        throw Error(reader::damagedMessage(packagePath));
    }
    return result.output;
}

// In the child: set once the library logs a critical or an error, a failed check of its own on what it read.
bool libraryFaulted = false;

void noteLevel(GLogLevelFlags level) {
    if (level & (G_LOG_LEVEL_CRITICAL | G_LOG_LEVEL_ERROR)) {
        libraryFaulted = true;
    }
}

GLogWriterOutput keepStructuredRecord(GLogLevelFlags level, const GLogField*, gsize, gpointer) {
    noteLevel(level);
    return G_LOG_WRITER_HANDLED;
}

void keepRecord(const gchar*, GLogLevelFlags level, const gchar*, gpointer) { noteLevel(level); }

void dropText(const gchar*) {}

// The library's warnings, criticals and printed texts go nowhere; whether it faulted decides the answer.
void captureLibraryOutput() {
    g_log_set_writer_func(keepStructuredRecord, nullptr, nullptr);
    g_log_set_default_handler(keepRecord, nullptr);
    g_set_print_handler(dropText);
    g_set_printerr_handler(dropText);
}

// A crash leaves no core file, whatever limit the child was started with.
void forbidCoreDumps() {
    const struct rlimit noCore = {0, 0};
    ::setrlimit(RLIMIT_CORE, &noCore);
#ifdef __linux__
    ::prctl(PR_SET_DUMPABLE, 0);
#endif
}

bool writeAll(const std::string& bytes) {
    for (size_t done = 0; done < bytes.size();) {
        const ssize_t count = ::write(STDOUT_FILENO, bytes.data() + done, bytes.size() - done);
        if (count < 0 && errno != EINTR) {
            return false;
        }
        done += count > 0 ? static_cast<size_t>(count) : 0;
    }
    return true;
}

} // namespace

std::map<std::string, std::string> readProperties(const std::string& packagePath) {
    return reader::propertiesFromAnswer(askReader(reader::propertiesRequest(packagePath), packagePath), packagePath);
}

std::optional<std::vector<uint8_t>> readIconRow(const std::string& packagePath, const std::string& name) {
    return reader::iconRowFromAnswer(askReader(reader::iconRowRequest(packagePath, name), packagePath), packagePath);
}

int runPackageReader(const std::vector<std::string>& arguments) {
    forbidCoreDumps();
    captureLibraryOutput();
    const std::string fault = reader::requestedFault();
    if (fault == "crash") {
        std::raise(SIGSEGV);
    }
    while (fault == "hang") {
        ::pause();
    }
    std::string answer = fault == "garble" ? reader::garbledAnswer()
                                           : reader::answerRequest(arguments, {libmsi::readProperties,
                                                                               libmsi::readIconRow});
    if (answer.empty()) {
        return kExitUsage;
    }
    if (libraryFaulted) {
        answer = reader::damageAnswer();
    }
    return writeAll(answer) ? kExitSuccess : kExitFailure;
}

} // namespace pack::platform
