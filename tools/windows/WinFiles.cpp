// File access on Windows: paths, file queries, inputs mapped into memory, outputs moved into place.
#include "PackError.h"
#include "Platform.h"
#include "TemporaryName.h"
#include "WideText.h"

#include "OwnedHandle.h"
#include "WinErrorHandling.h"

#include <windows.h>

#include <algorithm>
#include <memory>
#include <vector>

namespace pack::platform {

namespace {

constexpr int kTemporaryNameAttempts = 100;

// The system's text for `code`.
std::string reason(DWORD code) { return narrow(getSystemErrorText(code, nullptr)); }

bool isSeparator(char c) { return c == '\\' || c == '/'; }

// The open file, or an empty handle and the system's error code in `error`.
OwnedHandle openFile(const std::string& path, DWORD access, DWORD sharing, DWORD disposition, DWORD flags,
                     DWORD* error) {
    const HANDLE handle = CreateFileW(widen(path).c_str(), access, sharing, nullptr, disposition, flags, nullptr);
    *error = handle == INVALID_HANDLE_VALUE ? GetLastError() : ERROR_SUCCESS;
    return OwnedHandle(handle == INVALID_HANDLE_VALUE ? nullptr : handle);
}

struct ViewUnmapper {
    void operator()(const void* view) const {
        const LastErrorPreserver preserver;
        UnmapViewOfFile(view);
    }
};

// A whole file mapped for reading; its pages are read from the file as they are touched, never copied. While it
// is mapped, others may read the file but not change it.
class MappedSource : public ByteSource {
public:
    explicit MappedSource(const std::string& path) {
        DWORD openError = ERROR_SUCCESS;
        file_ = openFile(path, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, &openError);
        if (!file_.get()) {
            throw Error("Cannot open " + quoted(path) + " for reading: " + reason(openError));
        }
        LARGE_INTEGER size = {};
        if (!GetFileSizeEx(file_.get(), &size)) {
            const DWORD code = GetLastError();
            throw Error("Cannot read the size of " + quoted(path) + ": " + reason(code));
        }
        // An empty file cannot be mapped, and has nothing to map.
        if (size.QuadPart == 0) {
            return;
        }
        mapping_.reset(CreateFileMappingW(file_.get(), nullptr, PAGE_READONLY, 0, 0, nullptr));
        if (!mapping_.get()) {
            const DWORD code = GetLastError();
            throw Error("Cannot map " + quoted(path) + ": " + reason(code));
        }
        view_.reset(MapViewOfFile(mapping_.get(), FILE_MAP_READ, 0, 0, 0));
        if (!view_) {
            const DWORD code = GetLastError();
            throw Error("Cannot map " + quoted(path) + ": " + reason(code));
        }
        bytes_ = MemorySource(ByteView{static_cast<const uint8_t*>(view_.get()), static_cast<size_t>(size.QuadPart)});
    }

    uint64_t size() const override { return bytes_.size(); }
    ByteView read(uint64_t offset, size_t count) override { return bytes_.read(offset, count); }

private:
    OwnedHandle file_;
    OwnedHandle mapping_;
    std::unique_ptr<const void, ViewUnmapper> view_;
    MemorySource bytes_{ByteView{}};
};

std::string temporaryName(const std::string& directory, int attempt) {
    LARGE_INTEGER now = {};
    QueryPerformanceCounter(&now);
    return joinPath(directory, temporaryFileName(GetCurrentProcessId(), static_cast<uint64_t>(now.QuadPart), attempt));
}

void writeAll(HANDLE file, ByteView bytes, const std::string& destination) {
    for (size_t done = 0; done < bytes.size;) {
        const DWORD piece = static_cast<DWORD>(std::min<size_t>(bytes.size - done, 1u << 30));
        DWORD written = 0;
        if (!WriteFile(file, bytes.data + done, piece, &written, nullptr)) {
            const DWORD code = GetLastError();
            throw Error("Cannot write " + quoted(destination) + ": " + reason(code));
        }
        if (written == 0) {
            throw Error("Cannot write " + quoted(destination) + ": the system wrote nothing");
        }
        done += written;
    }
}

} // namespace

FileKind kindOf(const std::string& path) {
    const DWORD attributes = GetFileAttributesW(widen(path).c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        const DWORD code = GetLastError();
        if (code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND || code == ERROR_INVALID_NAME ||
            code == ERROR_BAD_NETPATH) {
            return FileKind::Missing;
        }
        throw Error("Cannot look at " + quoted(path) + ": " + reason(code));
    }
    return (attributes & FILE_ATTRIBUTE_DIRECTORY) ? FileKind::Directory : FileKind::File;
}

std::string absolutePath(const std::string& path) {
    const std::wstring wide = widen(path);
    std::vector<wchar_t> buffer(MAX_PATH);
    for (;;) {
        const DWORD length = GetFullPathNameW(wide.c_str(), static_cast<DWORD>(buffer.size()), buffer.data(), nullptr);
        if (length == 0) {
            const DWORD code = GetLastError();
            throw Error("Cannot make " + quoted(path) + " absolute: " + reason(code));
        }
        if (length < buffer.size()) {
            return narrow(std::wstring(buffer.data(), length));
        }
        // `length` is now the size the buffer needs, terminator included.
        buffer.resize(length);
    }
}

std::string parentOf(const std::string& path) {
    size_t separator = path.size();
    while (separator > 0 && !isSeparator(path[separator - 1])) {
        --separator;
    }
    if (separator == 0) {
        return ".";
    }
    const std::string parent = path.substr(0, separator - 1);
    // The root of a drive, "C:\", keeps its separator: "C:" alone is the drive's current directory.
    if (parent.empty() || (parent.size() == 2 && parent[1] == ':')) {
        return path.substr(0, separator);
    }
    return parent;
}

std::string fileNameOf(const std::string& path) {
    const size_t separator = path.find_last_of("\\/");
    return separator == std::string::npos ? path : path.substr(separator + 1);
}

std::string joinPath(const std::string& directory, const std::string& name) {
    return !directory.empty() && isSeparator(directory.back()) ? directory + name : directory + "\\" + name;
}

bool isSameFile(const std::string& first, const std::string& second) {
    const auto identify = [](const std::string& path, BY_HANDLE_FILE_INFORMATION* info) {
        DWORD ignored = ERROR_SUCCESS;
        const OwnedHandle file = openFile(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                          OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, &ignored);
        return file.get() && GetFileInformationByHandle(file.get(), info);
    };
    BY_HANDLE_FILE_INFORMATION a = {};
    BY_HANDLE_FILE_INFORMATION b = {};
    return identify(first, &a) && identify(second, &b) && a.dwVolumeSerialNumber == b.dwVolumeSerialNumber &&
           a.nFileIndexHigh == b.nFileIndexHigh && a.nFileIndexLow == b.nFileIndexLow;
}

std::unique_ptr<ByteSource> openInput(const std::string& path) { return std::make_unique<MappedSource>(path); }

struct OutputFile::State {
    std::string destination;
    std::string temporary;
    OwnedHandle file;
    bool committed = false;
};

OutputFile::OutputFile(const std::string& destination) : state_(std::make_unique<State>()) {
    state_->destination = destination;
    const std::string directory = parentOf(destination);
    for (int attempt = 0; !state_->file.get(); ++attempt) {
        const std::string candidate = temporaryName(directory, attempt);
        DWORD code = ERROR_SUCCESS;
        state_->file = openFile(candidate, GENERIC_WRITE, 0, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, &code);
        if (state_->file.get()) {
            state_->temporary = candidate;
        } else if ((code != ERROR_FILE_EXISTS && code != ERROR_ALREADY_EXISTS) ||
                   attempt + 1 == kTemporaryNameAttempts) {
            throw Error("Cannot create a temporary file in " + quoted(directory) + ": " + reason(code));
        }
    }
}

OutputFile::~OutputFile() {
    if (!state_->committed) {
        const LastErrorPreserver preserver;
        state_->file.reset();
        DeleteFileW(widen(state_->temporary).c_str());
    }
}

void OutputFile::write(ByteView bytes) { writeAll(state_->file.get(), bytes, state_->destination); }

void OutputFile::writeAt(uint64_t offset, ByteView bytes) {
    LARGE_INTEGER position = {};
    position.QuadPart = static_cast<LONGLONG>(offset);
    if (!SetFilePointerEx(state_->file.get(), position, nullptr, FILE_BEGIN)) {
        const DWORD code = GetLastError();
        throw Error("Cannot write " + quoted(state_->destination) + ": " + reason(code));
    }
    writeAll(state_->file.get(), bytes, state_->destination);
}

void OutputFile::commit() {
    if (!CloseHandle(state_->file.release())) {
        const DWORD code = GetLastError();
        throw Error("Cannot write " + quoted(state_->destination) + ": " + reason(code));
    }
    if (!MoveFileExW(widen(state_->temporary).c_str(), widen(state_->destination).c_str(), MOVEFILE_REPLACE_EXISTING)) {
        const DWORD code = GetLastError();
        throw Error("Cannot move " + quoted(state_->temporary) + " to " + quoted(state_->destination) + ": " +
                    reason(code));
    }
    state_->committed = true;
}

} // namespace pack::platform
