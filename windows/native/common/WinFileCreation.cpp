// Creation on disk: directories with their parents, uniquely named files, moves, and FileWriter.
#include "FileUtils.h"

#include "Log.h"
#include "WinErrorHandling.h"

#include <windows.h>

#include <algorithm>
#include <cwchar>
#include <utility>

namespace FileUtils {

namespace {

// Control characters and the nine characters that Windows refuses in file names.
bool hasIllegalNameChars(const tstring& text) {
    return std::any_of(text.begin(), text.end(), [](wchar_t c) {
        return c < L' ' || std::wcschr(L"<>:\"|?*/\\", c) != nullptr;
    });
}

// The part of a path that names no directory to create: "\\\\server\\share\\" of a network path, "\\\\?\\" of
// an extended-length one (and "\\\\?\\UNC\\server\\share\\"); nothing for a drive path.
size_t rootPrefixLength(const tstring& dir) {
    size_t start = 0;
    bool network = false;
    if (dir.compare(0, 4, L"\\\\?\\") == 0 || dir.compare(0, 4, L"\\\\.\\") == 0) {
        start = 4;
        if (dir.compare(4, 4, L"UNC\\") == 0) {
            start = 8;
            network = true;
        }
    } else if (dir.size() > 2 && isDirSeparator(dir[0]) && isDirSeparator(dir[1])) {
        start = 2;
        network = true;
    }
    if (network) {
        for (int component = 0; component < 2 && start < dir.size(); ++component) {
            const size_t separator = dir.find_first_of(L"\\/", start);
            start = separator == tstring::npos ? dir.size() : separator + 1;
        }
    }
    return start;
}

bool createNewFile(const tstring& path) {
    const HANDLE handle =
        CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        return false;
    }
    CloseHandle(handle);
    KR_TRACE("Created [" << path << "] file");
    return true;
}

void createDir(const tstring& dir) {
    if (CreateDirectoryW(dir.c_str(), nullptr)) {
        KR_TRACE("Created [" << dir << "] directory");
        return;
    }
    const DWORD code = GetLastError();
    if (isDirectory(dir)) {
        return;
    }
    KR_RAISE(SysError(MessageBuilder() << "CreateDirectory(" << dir << ") failed", CreateDirectoryW, code,
                      "System error"));
}

void moveFileImpl(const tstring& source, const tstring& destination, DWORD flags) {
    const bool sourceIsDirectory = isDirectory(source);
    if (!MoveFileExW(source.c_str(), destination.empty() ? nullptr : destination.c_str(), flags)) {
        const DWORD code = GetLastError();
        KR_RAISE(SysError(MessageBuilder() << "MoveFileEx(" << source << ", " << destination << ", " << flags
                                           << ") failed",
                          MoveFileExW, code, "System error"));
    }
    KR_TRACE("Moved '" << source << "' " << (sourceIsDirectory ? "folder" : "file") << " to '" << destination
                       << "'");
}

} // namespace

void createDirectory(const tstring& path) {
    // Every ancestor down to the root is tried; existing ones pass.
    const tstring dir = removeTrailingSlash(path) + L'\\';
    for (size_t i = rootPrefixLength(dir); i < dir.size(); ++i) {
        if (isDirSeparator(dir[i])) {
            createDir(dir.substr(0, i + 1));
        }
    }
}

tstring createTempFile(const tstring& prefix, const tstring& suffix, const tstring& baseDir) {
    if (hasIllegalNameChars(prefix)) {
        KR_RAISE(MessageBuilder() << "Illegal characters in prefix=" << prefix);
    }
    if (hasIllegalNameChars(suffix)) {
        KR_RAISE(MessageBuilder() << "Illegal characters in suffix=" << suffix);
    }
    // Uniqueness rests on CREATE_NEW alone: a taken name only moves on to the next number.
    const DWORD ticks = GetTickCount();
    for (DWORD attempt = 0; attempt < 100; ++attempt) {
        const int32_t number = static_cast<int32_t>(ticks + attempt);
        const tstring path = PathBuilder() << baseDir << (MessageBuilder() << prefix << number << suffix).str();
        if (createNewFile(path)) {
            return path;
        }
    }
    KR_RAISE(MessageBuilder() << "createTempFile(" << prefix << ", " << suffix << ", " << baseDir << ") failed");
}

void moveFile(const tstring& source, const tstring& destination) {
    createDirectory(dirname(destination));
    moveFileImpl(source, destination, MOVEFILE_REPLACE_EXISTING | MOVEFILE_COPY_ALLOWED);
}

FileWriter::FileWriter(const tstring& destination)
    : tempPath_(createTempFile(L"kvs", L".tmp", dirname(destination))), destination_(destination) {
    deleter_.appendFile(tempPath_);
    // Others may read and write it meanwhile (deny-none). The file was created empty just now, so it is opened as
    // it is, without truncation: on a Linux host a truncated file is flushed to disk when it is closed, which
    // made writing a large package markedly slower.
    const HANDLE file = CreateFileW(tempPath_.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        const DWORD code = GetLastError();
        KR_RAISE(SysError(MessageBuilder() << "CreateFile(" << tempPath_ << ") failed", CreateFileW, code,
                          "System error"));
    }
    file_ = file;
}

FileWriter::~FileWriter() {
    // Closed before the Deleter removes the file; a failure here has nowhere to go.
    if (file_) {
        const LastErrorPreserver preserver;
        CloseHandle(file_);
    }
}

FileWriter& FileWriter::write(const void* bytes, size_t count) {
    // A large write goes from the caller's memory in as few calls as the size type of WriteFile allows.
    const auto* next = static_cast<const BYTE*>(bytes);
    while (count > 0) {
        const DWORD piece = static_cast<DWORD>(std::min<size_t>(count, MAXDWORD));
        DWORD written = 0;
        if (!WriteFile(file_, next, piece, &written, nullptr)) {
            const DWORD code = GetLastError();
            KR_RAISE(SysError(MessageBuilder() << "WriteFile(" << tempPath_ << ") failed", WriteFile, code,
                              "System error"));
        }
        if (written == 0) {
            KR_RAISE(MessageBuilder() << "WriteFile(" << tempPath_ << ") wrote nothing");
        }
        // A disk that fills up may take a part first; writing the rest then fails with the system's reason.
        next += written;
        count -= written;
    }
    return *this;
}

void FileWriter::finish() {
    const HANDLE file = std::exchange(file_, nullptr);
    if (!CloseHandle(file)) {
        const DWORD code = GetLastError();
        KR_RAISE(SysError(MessageBuilder() << "CloseHandle(" << tempPath_ << ") failed", CloseHandle, code,
                          "System error"));
    }
    moveFile(tempPath_, destination_);
    deleter_.cancel();
}

} // namespace FileUtils
