// The owner of one open file descriptor, for the POSIX layer's files.
#pragma once

#include <unistd.h>

#include <cerrno>
#include <utility>

namespace pack::platform {

// Closed with the owner; that close keeps errno.
class FileDescriptor {
public:
    explicit FileDescriptor(int fd) : fd_(fd) {}
    ~FileDescriptor() {
        if (fd_ >= 0) {
            const int saved = errno;
            ::close(fd_);
            errno = saved;
        }
    }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;

    int get() const { return fd_; }
    void reset(int fd) {
        close();
        fd_ = fd;
    }
    // Closes now and reports the result, which for some file systems is the first news of a failed write.
    bool close() { return fd_ < 0 || ::close(std::exchange(fd_, -1)) == 0; }

private:
    int fd_;
};

} // namespace pack::platform
