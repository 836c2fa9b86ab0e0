// The pack::platform functions over the in-memory files of MemoryPlatform.h.
#include "MemoryPlatform.h"

#include "PackError.h"
#include "Require.h"

#include <algorithm>
#include <memory>

namespace pack::memory {

std::map<std::string, Bytes>& files() {
    static std::map<std::string, Bytes> all;
    return all;
}

std::map<std::string, std::string>& properties() {
    static std::map<std::string, std::string> table;
    return table;
}

std::map<std::string, Bytes>& iconRows() {
    static std::map<std::string, Bytes> rows;
    return rows;
}

std::vector<Line>& lines() {
    static std::vector<Line> written;
    return written;
}

void reset() {
    files().clear();
    properties().clear();
    iconRows().clear();
    lines().clear();
}

} // namespace pack::memory

namespace pack::platform {

namespace {

const std::string kRoot = "/";
// Far more than any harness's output: the launcher or setup fuzzed, and a small package.
constexpr uint64_t kMaxOutputSize = uint64_t{64} << 20;

// The file at `path`; raises Error as reading a missing file does.
memory::Bytes& existingFile(const std::string& path) {
    const auto found = memory::files().find(path);
    if (found == memory::files().end()) {
        throw Error("Cannot open '" + path + "': no such file");
    }
    return found->second;
}

} // namespace

FileKind kindOf(const std::string& path) {
    if (path == kRoot) {
        return FileKind::Directory;
    }
    return memory::files().count(path) != 0 ? FileKind::File : FileKind::Missing;
}

std::string absolutePath(const std::string& path) { return !path.empty() && path[0] == '/' ? path : kRoot + path; }

std::string parentOf(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == 0 || slash == std::string::npos ? kRoot : path.substr(0, slash);
}

std::string fileNameOf(const std::string& path) { return path.substr(path.rfind('/') + 1); }

std::string joinPath(const std::string& directory, const std::string& name) {
    return directory == kRoot ? kRoot + name : directory + "/" + name;
}

bool isSameFile(const std::string& first, const std::string& second) {
    return first == second && kindOf(first) == FileKind::File;
}

namespace {

// An open file whose every view is a buffer of its own, exactly as large as asked for, that lives only until the
// next read: the least that ByteSource promises.
class FreshReads : public ByteSource {
public:
    explicit FreshReads(const memory::Bytes& bytes) : bytes_(bytes) {}

    uint64_t size() const override { return bytes_.size(); }

    ByteView read(uint64_t offset, size_t count) override {
        const ByteView range = MemorySource(bytes_).read(offset, count);
        buffer_.reset();
        buffer_ = std::make_unique<uint8_t[]>(count);
        std::copy(range.data, range.data + range.size, buffer_.get());
        return ByteView{buffer_.get(), count};
    }

private:
    const memory::Bytes& bytes_;
    std::unique_ptr<uint8_t[]> buffer_;
};

} // namespace

std::unique_ptr<ByteSource> openInput(const std::string& path) {
    return std::make_unique<FreshReads>(existingFile(path));
}

// An open file is its name; its bytes live in the map from its creation, as a temporary file lives on a disk.
struct SystemFile {
    std::string path;
};

void SystemFileCloser::operator()(SystemFile* file) const { delete file; }

namespace output {

std::string createExclusive(const std::string& path, OutputUse, SystemFileHandle* file, bool* taken) {
    *taken = kindOf(path) != FileKind::Missing;
    if (*taken || kindOf(parentOf(path)) != FileKind::Directory) {
        return "cannot create it";
    }
    memory::files()[path];
    file->reset(new SystemFile{path});
    return std::string();
}

std::string write(SystemFile& file, ByteView bytes) { return writeAt(file, existingFile(file.path).size(), bytes); }

// As on a disk, writing past the end extends the file.
std::string writeAt(SystemFile& file, uint64_t offset, ByteView bytes) {
    memory::Bytes& data = existingFile(file.path);
    fuzz::require(offset + bytes.size <= kMaxOutputSize, "an output of at most 64 MiB, not one reaching " +
                                                            std::to_string(offset + bytes.size) + " bytes");
    data.resize(std::max<uint64_t>(data.size(), offset + bytes.size));
    std::copy(bytes.data, bytes.data + bytes.size, data.begin() + static_cast<std::ptrdiff_t>(offset));
    return std::string();
}

std::string flushToDisk(SystemFile&) { return std::string(); }

std::string close(SystemFileHandle) { return std::string(); }

std::string replaceBy(const std::string& destination, const std::string& temporary) {
    memory::files()[destination] = std::move(existingFile(temporary));
    memory::files().erase(temporary);
    return std::string();
}

std::string flushDirectory(const std::string&) { return std::string(); }

void removeFile(const std::string& path) { memory::files().erase(path); }

uint64_t processId() { return 1; }

uint64_t clockTicks() {
    static uint64_t ticks = 0;
    return ++ticks;
}

void removeOnInterrupt(const std::string&) {}

void holdInterrupts() {}

void releaseInterrupts() {}

} // namespace output

void removeOutputsOnInterrupt() {}

std::map<std::string, std::string> readProperties(const std::string& packagePath) {
    existingFile(packagePath);
    return memory::properties();
}

std::optional<std::vector<uint8_t>> readIconRow(const std::string& packagePath, const std::string& name) {
    existingFile(packagePath);
    const auto row = memory::iconRows().find(name);
    if (row == memory::iconRows().end()) {
        return std::nullopt;
    }
    return row->second;
}

std::string writeLine(Stream stream, const std::string& text) {
    memory::lines().push_back({stream, text});
    return std::string();
}

} // namespace pack::platform
