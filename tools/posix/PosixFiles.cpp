// File access on POSIX systems: paths, file queries, inputs read a piece at a time, the system calls of outputs.
#include "FileDescriptor.h"
#include "PackError.h"
#include "io/Platform.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <utility>
#include <vector>

namespace pack::platform {

namespace {

// The system's text for `code`.
std::string reason(int code) { return std::strerror(code); }

// A file read with pread into a buffer that grows to the largest piece asked for.
class FileSource : public ByteSource {
public:
    explicit FileSource(const std::string& path) : path_(path), file_(::open(path.c_str(), O_RDONLY | O_CLOEXEC)) {
        if (file_.get() < 0) {
            const int code = errno;
            throw Error("Cannot open " + quoted(path) + " for reading: " + reason(code));
        }
        struct stat status = {};
        if (::fstat(file_.get(), &status) != 0) {
            const int code = errno;
            throw Error("Cannot read the size of " + quoted(path) + ": " + reason(code));
        }
        size_ = static_cast<uint64_t>(status.st_size);
    }

    uint64_t size() const override { return size_; }

    ByteView read(uint64_t offset, size_t count) override {
        if (offset > size_ || count > size_ - offset) {
            throw Error("Cannot read " + std::to_string(count) + " bytes at " + std::to_string(offset) + " of " +
                        quoted(path_) + ", which has " + std::to_string(size_));
        }
        if (buffer_.size() < count) {
            buffer_.resize(count);
        }
        for (size_t done = 0; done < count;) {
            const ssize_t got =
                ::pread(file_.get(), buffer_.data() + done, count - done, static_cast<off_t>(offset + done));
            if (got < 0 && errno == EINTR) {
                continue;
            }
            if (got < 0) {
                const int code = errno;
                throw Error("Cannot read " + quoted(path_) + ": " + reason(code));
            }
            if (got == 0) {
                throw Error(quoted(path_) + " ended at " + std::to_string(offset + done) + " of its " +
                            std::to_string(size_) + " bytes; it changed while it was read");
            }
            done += static_cast<size_t>(got);
        }
        return ByteView{buffer_.data(), count};
    }

private:
    std::string path_;
    FileDescriptor file_;
    uint64_t size_ = 0;
    std::vector<uint8_t> buffer_;
};

} // namespace

FileKind kindOf(const std::string& path) {
    struct stat status = {};
    if (::stat(path.c_str(), &status) != 0) {
        const int code = errno;
        if (code == ENOENT || code == ENOTDIR) {
            return FileKind::Missing;
        }
        throw Error("Cannot look at " + quoted(path) + ": " + reason(code));
    }
    if (S_ISREG(status.st_mode)) {
        return FileKind::File;
    }
    return S_ISDIR(status.st_mode) ? FileKind::Directory : FileKind::Other;
}

std::string absolutePath(const std::string& path) {
    std::string joined = path;
    if (path.empty() || path[0] != '/') {
        std::vector<char> buffer(256);
        while (::getcwd(buffer.data(), buffer.size()) == nullptr) {
            const int code = errno;
            if (code != ERANGE) {
                throw Error("Cannot tell the current directory: " + reason(code));
            }
            buffer.resize(buffer.size() * 2);
        }
        joined = std::string(buffer.data()) + "/" + path;
    }
    // Empty and "." parts go. A ".." goes with the part before it where that is a directory and no link, since
    // the system then resolves it so too; after a link, the system decides where ".." leads.
    std::string result;
    for (size_t start = 0; start <= joined.size();) {
        const size_t end = std::min(joined.find('/', start), joined.size());
        const std::string part = joined.substr(start, end - start);
        start = end + 1;
        if (part.empty() || part == ".") {
            continue;
        }
        if (part == ".." && result.empty()) {
            continue;
        }
        struct stat status = {};
        const size_t last = result.rfind('/');
        if (part == ".." && result.compare(last + 1, std::string::npos, "..") != 0 &&
            ::lstat(result.c_str(), &status) == 0 && S_ISDIR(status.st_mode)) {
            result.erase(last);
            continue;
        }
        result += "/" + part;
    }
    return result.empty() ? "/" : result;
}

std::string parentOf(const std::string& path) {
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos) {
        return ".";
    }
    return slash == 0 ? "/" : path.substr(0, slash);
}

std::string fileNameOf(const std::string& path) { return path.substr(path.rfind('/') + 1); }

std::string joinPath(const std::string& directory, const std::string& name) {
    return !directory.empty() && directory.back() == '/' ? directory + name : directory + "/" + name;
}

bool isSameFile(const std::string& first, const std::string& second) {
    struct stat a = {};
    struct stat b = {};
    return ::stat(first.c_str(), &a) == 0 && ::stat(second.c_str(), &b) == 0 && a.st_dev == b.st_dev &&
           a.st_ino == b.st_ino;
}

std::unique_ptr<ByteSource> openInput(const std::string& path) { return std::make_unique<FileSource>(path); }

struct SystemFile {
    FileDescriptor descriptor;
};

void SystemFileCloser::operator()(SystemFile* file) const { delete file; }

namespace output {

namespace {

// The system's reason for the failure of the call just made.
std::string failure() {
    const int code = errno;
    return reason(code);
}

// `transfer` writes at most what is left from where it is told and returns what it wrote, or -1.
template <class Transfer>
std::string writeWhole(ByteView bytes, Transfer transfer) {
    for (size_t done = 0; done < bytes.size;) {
        const ssize_t written = transfer(done);
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written < 0) {
            return failure();
        }
        done += static_cast<size_t>(written);
    }
    return std::string();
}

} // namespace

// The owner comes first, so that nothing can fail between the file's creation and its handing over.
std::string createExclusive(const std::string& path, OutputUse use, SystemFileHandle* file, bool* taken) {
    SystemFileHandle created(new SystemFile{FileDescriptor(-1)});
    const mode_t mode = use == OutputUse::Program ? 0777 : 0666;
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
    if (fd < 0) {
        const int code = errno;
        *taken = code == EEXIST;
        return reason(code);
    }
    created->descriptor.reset(fd);
    *file = std::move(created);
    return std::string();
}

std::string write(SystemFile& file, ByteView bytes) {
    return writeWhole(bytes, [&](size_t done) {
        return ::write(file.descriptor.get(), bytes.data + done, bytes.size - done);
    });
}

std::string writeAt(SystemFile& file, uint64_t offset, ByteView bytes) {
    return writeWhole(bytes, [&](size_t done) {
        return ::pwrite(file.descriptor.get(), bytes.data + done, bytes.size - done, static_cast<off_t>(offset + done));
    });
}

std::string flushToDisk(SystemFile& file) { return ::fsync(file.descriptor.get()) == 0 ? std::string() : failure(); }

std::string close(SystemFileHandle file) { return file->descriptor.close() ? std::string() : failure(); }

std::string replaceBy(const std::string& destination, const std::string& temporary) {
    return ::rename(temporary.c_str(), destination.c_str()) == 0 ? std::string() : failure();
}

std::string flushDirectory(const std::string& directory) {
    const FileDescriptor opened(::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (opened.get() < 0) {
        return failure();
    }
    // Some file systems cannot flush a directory on its own, and keep its entries safe without.
    if (::fsync(opened.get()) != 0 && errno != EINVAL) {
        return failure();
    }
    return std::string();
}

void removeFile(const std::string& path) {
    const int saved = errno;
    ::unlink(path.c_str());
    errno = saved;
}

uint64_t processId() { return static_cast<uint64_t>(::getpid()); }

uint64_t clockTicks() {
    struct timespec now = {};
    ::clock_gettime(CLOCK_REALTIME, &now);
    return static_cast<uint64_t>(now.tv_nsec);
}

} // namespace output

} // namespace pack::platform
