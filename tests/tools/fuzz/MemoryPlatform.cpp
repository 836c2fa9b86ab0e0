// The pack::platform functions over the in-memory files of MemoryPlatform.h.
#include "MemoryPlatform.h"

#include "PackError.h"
#include "Require.h"

#include <algorithm>

namespace pack::memory {

std::map<std::string, Bytes>& files() {
    static std::map<std::string, Bytes> all;
    return all;
}

std::map<std::string, std::string>& properties() {
    static std::map<std::string, std::string> table;
    return table;
}

std::vector<Line>& lines() {
    static std::vector<Line> written;
    return written;
}

void reset() {
    files().clear();
    properties().clear();
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

std::unique_ptr<ByteSource> openInput(const std::string& path) {
    const memory::Bytes& bytes = existingFile(path);
    return std::make_unique<MemorySource>(bytes);
}

// The temporary file is a buffer; commit() moves it into the map.
struct OutputFile::State {
    std::string destination;
    memory::Bytes bytes;
};

OutputFile::OutputFile(const std::string& destination) : state_(std::make_unique<State>()) {
    if (kindOf(parentOf(destination)) != FileKind::Directory) {
        throw Error("Cannot create a temporary file beside '" + destination + "'");
    }
    state_->destination = destination;
}

OutputFile::~OutputFile() = default;

void OutputFile::write(ByteView bytes) { writeAt(state_->bytes.size(), bytes); }

// As on a file, writing past the end extends it.
void OutputFile::writeAt(uint64_t offset, ByteView bytes) {
    memory::Bytes& file = state_->bytes;
    fuzz::require(offset + bytes.size <= kMaxOutputSize, "an output of at most 64 MiB, not one reaching " +
                                                            std::to_string(offset + bytes.size) + " bytes");
    file.resize(std::max<uint64_t>(file.size(), offset + bytes.size));
    std::copy(bytes.data, bytes.data + bytes.size, file.begin() + static_cast<std::ptrdiff_t>(offset));
}

void OutputFile::commit() { memory::files()[state_->destination] = std::move(state_->bytes); }

std::map<std::string, std::string> readProperties(const std::string& packagePath) {
    existingFile(packagePath);
    return memory::properties();
}

void writeLine(Stream stream, const std::string& text) { memory::lines().push_back({stream, text}); }

} // namespace pack::platform
