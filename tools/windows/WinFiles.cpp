// File access on Windows: paths, file queries, inputs mapped into memory, the system calls of outputs.
#include "PackError.h"
#include "WideText.h"
#include "io/Platform.h"

#include "OwnedHandle.h"
#include "WinErrorHandling.h"

#include <windows.h>

#include <algorithm>
#include <memory>
#include <utility>
#include <vector>

namespace pack::platform {

namespace {

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

struct SystemFile {
    OwnedHandle handle;
};

void SystemFileCloser::operator()(SystemFile* file) const { delete file; }

namespace output {

namespace {

// The system's reason for the failure of the call just made.
std::string failure() {
    const DWORD code = GetLastError();
    return reason(code);
}

} // namespace

// Others may delete the file while it is written: the console's control handler does so on another thread. The
// owner comes first, so that nothing can fail between the file's creation and its handing over.
std::string createExclusive(const std::string& path, OutputUse, SystemFileHandle* file, bool* taken) {
    SystemFileHandle created(new SystemFile{});
    DWORD code = ERROR_SUCCESS;
    created->handle = openFile(path, GENERIC_WRITE, FILE_SHARE_DELETE, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, &code);
    if (!created->handle.get()) {
        *taken = code == ERROR_FILE_EXISTS || code == ERROR_ALREADY_EXISTS;
        return reason(code);
    }
    *file = std::move(created);
    return std::string();
}

std::string write(SystemFile& file, ByteView bytes) {
    for (size_t done = 0; done < bytes.size;) {
        const DWORD piece = static_cast<DWORD>(std::min<size_t>(bytes.size - done, 1u << 30));
        DWORD written = 0;
        if (!WriteFile(file.handle.get(), bytes.data + done, piece, &written, nullptr)) {
            return failure();
        }
        if (written == 0) {
            return "the system wrote nothing";
        }
        done += written;
    }
    return std::string();
}

std::string writeAt(SystemFile& file, uint64_t offset, ByteView bytes) {
    LARGE_INTEGER position = {};
    position.QuadPart = static_cast<LONGLONG>(offset);
    if (!SetFilePointerEx(file.handle.get(), position, nullptr, FILE_BEGIN)) {
        return failure();
    }
    return write(file, bytes);
}

std::string flushToDisk(SystemFile& file) { return FlushFileBuffers(file.handle.get()) ? std::string() : failure(); }

std::string close(SystemFileHandle file) { return CloseHandle(file->handle.release()) ? std::string() : failure(); }

// Write-through: the move is on the disk, directory entry included, when the call returns.
std::string replaceBy(const std::string& destination, const std::string& temporary) {
    return MoveFileExW(widen(temporary).c_str(), widen(destination).c_str(),
                       MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)
               ? std::string()
               : failure();
}

// The write-through move has flushed it already.
std::string flushDirectory(const std::string&) { return std::string(); }

void removeFile(const std::string& path) {
    const LastErrorPreserver preserver;
    DeleteFileW(widen(path).c_str());
}

uint64_t processId() { return GetCurrentProcessId(); }

uint64_t clockTicks() {
    LARGE_INTEGER now = {};
    QueryPerformanceCounter(&now);
    return static_cast<uint64_t>(now.QuadPart);
}

} // namespace output

} // namespace pack::platform
