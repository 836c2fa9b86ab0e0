// Lines of text on the standard streams of a POSIX process, as UTF-8, each written whole before the call returns.
#include "io/Platform.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace pack::platform {

std::string writeLine(Stream stream, const std::string& text) {
    const int descriptor = stream == Stream::Err ? STDERR_FILENO : STDOUT_FILENO;
    const std::string line = text + "\n";
    for (size_t done = 0; done < line.size();) {
        const ssize_t written = ::write(descriptor, line.data() + done, line.size() - done);
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written < 0) {
            const int code = errno;
            return std::strerror(code);
        }
        done += static_cast<size_t>(written);
    }
    return std::string();
}

} // namespace pack::platform
