// Deletion of files, directories and trees, directory enumeration, and the Deleter that cleans up at scope end.
#include "FileUtils.h"

#include "Log.h"
#include "WinErrorHandling.h"

#include <windows.h>

#include <algorithm>
#include <memory>
#include <utility>
#include <vector>

namespace FileUtils {

namespace {

// Owns a search handle of FindFirstFileW.
class FindHandle {
public:
    explicit FindHandle(HANDLE handle) : handle_(handle) {}
    ~FindHandle() {
        if (valid()) {
            const LastErrorPreserver preserver;
            FindClose(handle_);
        }
    }
    FindHandle(const FindHandle&) = delete;
    FindHandle& operator=(const FindHandle&) = delete;

    bool valid() const { return handle_ != nullptr && handle_ != INVALID_HANDLE_VALUE; }
    HANDLE get() const { return handle_; }

private:
    HANDLE handle_;
};

bool isMissingPathError(DWORD code) { return code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND; }

// A junction or symbolic link to a directory: a directory that is also a reparse point. Its own attributes
// are read, never those of its target.
bool isDirectoryLink(const tstring& path) {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) &&
           (attributes & FILE_ATTRIBUTE_REPARSE_POINT);
}

// A file left in a tree keeps its directories too, and clean-up reports to no one: the record is all that says
// which file stayed and why.
void warnNotDeleted(const tstring& path, DWORD code) {
    if (Logger::global().isEnabled(LogLevel::Warning)) {
        const SysError error(MessageBuilder() << "Failed to delete [" << path << "] file", DeleteFileW, code,
                             "System error");
        KR_WARNING(error.what());
    }
}

bool deleteFileImpl(const tstring& path) {
    if (DeleteFileW(path.c_str())) {
        KR_TRACE("Deleted [" << path << "] file");
        return true;
    }
    return isMissingPathError(GetLastError());
}

class DeleteFilesCallback : public DirectoryCallback {
public:
    explicit DeleteFilesCallback(bool raising) : throwOnError(raising) {}

    bool onFile(const tstring& path) override {
        if (throwOnError) {
            deleteFile(path);
        } else if (!deleteFile(path, std::nothrow)) {
            failed = true;
            warnNotDeleted(path, GetLastError());
        }
        return true;
    }

    bool hasFailed() const { return failed; }

protected:
    const bool throwOnError;
    bool failed = false;
};

// Deletes subdirectories depth first, each when the enumeration meets it.
class DeleteAllCallback : public DeleteFilesCallback {
public:
    using DeleteFilesCallback::DeleteFilesCallback;

    bool onDirectory(const tstring& path) override {
        if (throwOnError) {
            deleteAll(path);
        } else if (!deleteAll(path, std::nothrow)) {
            failed = true;
        }
        return true;
    }
};

// Deletes the files directly inside `directory`, or with `recursive` the whole tree, the directory included.
// A directory removed only after all of its content went, so a failure keeps just the directories above it.
struct BatchDeleter {
    tstring directory;
    bool recursive = false;

    bool execute(const std::nothrow_t&) const;
    void execute() const;

private:
    std::unique_ptr<DeleteFilesCallback> makeCallback(bool throwOnError) const {
        if (recursive) {
            return std::make_unique<DeleteAllCallback>(throwOnError);
        }
        return std::make_unique<DeleteFilesCallback>(throwOnError);
    }
};

bool BatchDeleter::execute(const std::nothrow_t&) const {
    if (!isFileExists(directory)) {
        return true;
    }
    if (!isDirectory(directory)) {
        return false;
    }
    bool deleted = false;
    runGuarded(KR_HERE, [this, &deleted] {
        if (recursive && isDirectoryLink(directory)) {
            deleted = deleteDirectory(directory, std::nothrow);
            return;
        }
        const std::unique_ptr<DeleteFilesCallback> callback = makeCallback(false);
        iterateDirectory(directory, *callback);
        if (!callback->hasFailed()) {
            deleted = !recursive || deleteDirectory(directory, std::nothrow);
        }
    });
    return deleted;
}

void BatchDeleter::execute() const {
    if (!isFileExists(directory)) {
        return;
    }
    if (recursive && isDirectoryLink(directory)) {
        deleteDirectory(directory);
        return;
    }
    const std::unique_ptr<DeleteFilesCallback> callback = makeCallback(true);
    iterateDirectory(directory, *callback);
    if (recursive) {
        deleteDirectory(directory);
    }
}

} // namespace

bool deleteFile(const tstring& path, const std::nothrow_t&) {
    if (deleteFileImpl(path)) {
        return true;
    }
    const DWORD code = GetLastError();
    if (code != ERROR_ACCESS_DENIED) {
        return false;
    }
    const DWORD attributes = GetFileAttributesW(path.c_str());
    SetLastError(code);
    if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_READONLY)) {
        return false;
    }
    if (SetFileAttributesW(path.c_str(), attributes & ~DWORD{FILE_ATTRIBUTE_READONLY})) {
        KR_TRACE("Discarded R/O attribute from [" << path << "] file");
        return deleteFileImpl(path);
    }
    const DWORD attributeCode = GetLastError();
    if (Logger::global().isEnabled(LogLevel::Warning)) {
        const SysError error(MessageBuilder() << "Failed to discard R/O attribute from [" << path
                                              << "] file. File will not be deleted",
                             SetFileAttributesW, attributeCode, "System error");
        KR_WARNING(error.what());
    }
    SetLastError(code);
    return false;
}

void deleteFile(const tstring& path) {
    if (!deleteFile(path, std::nothrow)) {
        const DWORD code = GetLastError();
        KR_RAISE(SysError(MessageBuilder() << "DeleteFile(" << path << ") failed", DeleteFileW, code, "System error"));
    }
}

bool deleteDirectory(const tstring& path, const std::nothrow_t&) {
    if (RemoveDirectoryW(path.c_str())) {
        KR_TRACE("Deleted [" << path << "] directory");
        return true;
    }
    return isMissingPathError(GetLastError());
}

void deleteDirectory(const tstring& path) {
    if (!deleteDirectory(path, std::nothrow)) {
        const DWORD code = GetLastError();
        KR_RAISE(SysError(MessageBuilder() << "RemoveDirectory(" << path << ") failed", RemoveDirectoryW, code,
                          "System error"));
    }
}

bool deleteFiles(const tstring& dir, const std::nothrow_t&) { return BatchDeleter{dir, false}.execute(std::nothrow); }

void deleteFiles(const tstring& dir) { BatchDeleter{dir, false}.execute(); }

bool deleteAll(const tstring& dir, const std::nothrow_t&) { return BatchDeleter{dir, true}.execute(std::nothrow); }

void deleteAll(const tstring& dir) { BatchDeleter{dir, true}.execute(); }

bool DirectoryCallback::onFile(const tstring&) { return true; }

bool DirectoryCallback::onDirectory(const tstring&) { return true; }

void iterateDirectory(const tstring& dir, DirectoryCallback& callback) {
    WIN32_FIND_DATAW entry{};
    const FindHandle search(FindFirstFileW(combinePath(dir, L"*").c_str(), &entry));
    if (!search.valid()) {
        const DWORD code = GetLastError();
        if (code == ERROR_FILE_NOT_FOUND) {
            return;
        }
        KR_RAISE(SysError(MessageBuilder() << "FindFirstFile(" << dir << ") failed", FindFirstFileW, code,
                          "System error"));
    }
    for (bool found = true; found; found = FindNextFileW(search.get(), &entry) != FALSE) {
        const tstring name = entry.cFileName;
        const tstring path = combinePath(dir, name);
        const DWORD attributes = entry.dwFileAttributes;
        bool proceed = true;
        if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY)) {
            if (name != L"." && name != L"..") {
                proceed = callback.onDirectory(path);
            }
        } else {
            proceed = callback.onFile(path);
        }
        if (!proceed) {
            return;
        }
    }
    const DWORD code = GetLastError();
    if (code != ERROR_NO_MORE_FILES) {
        KR_RAISE(SysError(MessageBuilder() << "FindNextFile(" << dir << ") failed", FindNextFileW, code,
                          "System error"));
    }
}

Deleter::~Deleter() {
    const LastErrorPreserver preserver;
    runGuarded(KR_HERE, [this] {
        std::vector<std::pair<tstring, DeleterEntryKind>> entries;
        entries.swap(entries_);
        // Files first, then each kind of directory entry, registration order kept within a kind.
        std::stable_sort(entries.begin(), entries.end(),
                         [](const auto& a, const auto& b) { return a.second < b.second; });
        for (const auto& [path, kind] : entries) {
            switch (kind) {
            case DeleterEntryKind::File:
                deleteFile(path, std::nothrow);
                break;
            case DeleterEntryKind::DirectoryFiles:
                deleteFiles(path, std::nothrow);
                break;
            case DeleterEntryKind::RecursiveDirectory:
                deleteAll(path, std::nothrow);
                break;
            case DeleterEntryKind::EmptyDirectory:
                deleteDirectory(path, std::nothrow);
                break;
            }
        }
    });
}

Deleter& Deleter::appendFile(const tstring& path) {
    entries_.emplace_back(path, DeleterEntryKind::File);
    return *this;
}

Deleter& Deleter::appendDirectoryFiles(const tstring& path) {
    entries_.emplace_back(path, DeleterEntryKind::DirectoryFiles);
    return *this;
}

Deleter& Deleter::appendRecursiveDirectory(const tstring& path) {
    entries_.emplace_back(path, DeleterEntryKind::RecursiveDirectory);
    return *this;
}

Deleter& Deleter::appendEmptyDirectory(const tstring& path) {
    entries_.emplace_back(path, DeleterEntryKind::EmptyDirectory);
    return *this;
}

void Deleter::cancel() { entries_.clear(); }

} // namespace FileUtils
