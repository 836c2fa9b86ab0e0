// Support for the native packer tests: scratch directories, whole files, and the packer run as a child.
#pragma once

#include "bytes/Bytes.h"

#include <functional>
#include <string>
#include <vector>

namespace packtest {

// A fresh directory under the system's temporary directory, removed with all it holds at the end of the scope.
class ScratchDir {
public:
    ScratchDir();
    ~ScratchDir();
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;

    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }
    // The names in the directory, sorted.
    std::vector<std::string> list() const;

private:
    std::string path_;
};

std::string readFile(const std::string& path);
void writeFile(const std::string& path, const std::string& bytes);

struct RunResult {
    int exitCode = -1; // -1 when the program did not exit normally
    int signal = 0;    // the signal that ended it, if one did
    std::string out;
    std::string err;
};

struct RunOptions {
    std::vector<std::string> environment; // NAME=value, added to the test's own
    long fileSizeLimit = -1;              // bytes, for the program's writes; -1: none
};

// Runs `program` (found through PATH when it has no slash) with `args` and waits for it.
RunResult run(const std::string& program, const std::vector<std::string>& args, const RunOptions& options = {});
// The same, and while it runs `ready` is asked every millisecond; once it says yes, the program gets `signal`.
RunResult runInterrupted(const std::string& program, const std::vector<std::string>& args,
                         const std::function<bool()>& ready, int signal);

// A sink that keeps what is written in memory.
class StringSink : public pack::ByteSink {
public:
    void write(pack::ByteView bytes) override { bytes_.append(reinterpret_cast<const char*>(bytes.data), bytes.size); }
    void writeAt(uint64_t offset, pack::ByteView bytes) override {
        bytes_.replace(offset, bytes.size, reinterpret_cast<const char*>(bytes.data), bytes.size);
    }
    const std::string& bytes() const { return bytes_; }

private:
    std::string bytes_;
};

inline pack::ByteView view(const std::string& bytes) {
    return pack::ByteView{reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()};
}

} // namespace packtest
