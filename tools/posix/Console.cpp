// Lines of text on the standard streams of a POSIX process, as UTF-8.
#include "Platform.h"

#include <cstdio>

namespace pack::platform {

void writeLine(Stream stream, const std::string& text) {
    std::FILE* const file = stream == Stream::Err ? stderr : stdout;
    std::fwrite(text.data(), 1, text.size(), file);
    std::fputc('\n', file);
    std::fflush(file);
}

} // namespace pack::platform
