// kestrel-pack for POSIX systems: the program's own path from its name and PATH, then the packer's command line.
#include "PackageReader.h"
#include "cli/Command.h"
#include "io/Platform.h"
#include "io/ReaderProtocol.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

namespace {

struct MallocFree {
    void operator()(char* text) const { std::free(text); }
};

std::string resolved(const std::string& path) {
    const std::unique_ptr<char, MallocFree> real(::realpath(path.c_str(), nullptr));
    return real ? std::string(real.get()) : std::string();
}

bool isExecutableFile(const std::string& path) {
    struct stat status = {};
    return ::stat(path.c_str(), &status) == 0 && S_ISREG(status.st_mode) && ::access(path.c_str(), X_OK) == 0;
}

// Where the running program lies, links resolved, as the shell found it: by the path in its name, or else
// through PATH. Empty when that cannot be told.
std::string programPath(const char* name) {
    const std::string invoked = name ? name : "";
    if (invoked.empty()) {
        return std::string();
    }
    if (invoked.find('/') != std::string::npos) {
        return resolved(invoked);
    }
    const char* const searchPath = std::getenv("PATH");
    const std::string directories = searchPath ? searchPath : "";
    for (size_t start = 0; start <= directories.size();) {
        const size_t end = std::min(directories.find(':', start), directories.size());
        const std::string directory = directories.substr(start, end - start);
        const std::string candidate = (directory.empty() ? std::string(".") : directory) + "/" + invoked;
        if (isExecutableFile(candidate)) {
            return resolved(candidate);
        }
        start = end + 1;
    }
    return std::string();
}

// A standard stream the caller closed keeps its number taken, by /dev/null opened the other way round, so that no
// file the packer opens gets the number and the lines meant for the stream; using the stream still fails as it
// would closed.
void holdClosedStandardStreams() {
    for (const int stream : {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO}) {
        if (::fcntl(stream, F_GETFD) < 0 && errno == EBADF) {
            // The lowest free number: the streams before are open or held by now.
            ::open("/dev/null", (stream == STDIN_FILENO ? O_WRONLY : O_RDONLY) | O_CLOEXEC);
        }
    }
}

} // namespace

int main(int argc, char** argv) {
    holdClosedStandardStreams();
    if (argc > 1 && argv[1] == std::string(pack::reader::kOption)) {
        return pack::platform::runPackageReader(std::vector<std::string>(argv + 2, argv + argc));
    }
    // Past a file size limit a write fails with an error the packer reports, after removing its temporary file;
    // the signal would end it at once and leave that file behind.
    std::signal(SIGXFSZ, SIG_IGN);
    pack::platform::removeOutputsOnInterrupt();
    return pack::runCommand(std::vector<std::string>(argv + 1, argv + argc), programPath(argv[0]));
}
