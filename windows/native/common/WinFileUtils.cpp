// File-system services that call Windows: file queries, absolute paths, creation, moves and deletion.
#include "FileUtils.h"

#include "Executor.h"
#include "Log.h"
#include "WinErrorHandling.h"

#include <windows.h>
#include <sddl.h>
#include <winternl.h>
#include <ntstatus.h>

#include <algorithm>
#include <cstdlib>
#include <cwchar>
#include <memory>
#include <utility>
#include <vector>

namespace FileUtils {

namespace {

struct FreeDeleter {
    void operator()(wchar_t* p) const { std::free(p); }
};
using CrtString = std::unique_ptr<wchar_t, FreeDeleter>;

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

// Control characters and the nine characters that Windows refuses in file names.
bool hasIllegalNameChars(const tstring& text) {
    return std::any_of(text.begin(), text.end(), [](wchar_t c) {
        return c < L' ' || std::wcschr(L"<>:\"|?*/\\", c) != nullptr;
    });
}

// A junction or symbolic link to a directory: a directory that is also a reparse point. Its own attributes
// are read, never those of its target.
bool isDirectoryLink(const tstring& path) {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) &&
           (attributes & FILE_ATTRIBUTE_REPARSE_POINT);
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

// What privateDirectorySddl needs to know of the process's token.
struct TokenFacts {
    tstring userSid;
    bool elevated = false;
};

TokenFacts readTokenFacts() {
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) {
        const DWORD code = GetLastError();
        KR_RAISE(SysError(MessageBuilder() << "OpenProcessToken() failed", OpenProcessToken, code,
                          "System error"));
    }
    const OwnedHandle tokenOwner(token);
    TokenFacts facts;
    TOKEN_ELEVATION elevation{};
    DWORD size = 0;
    if (!GetTokenInformation(token, TokenElevation, &elevation, sizeof(elevation), &size)) {
        const DWORD code = GetLastError();
        KR_RAISE(SysError(MessageBuilder() << "GetTokenInformation(TokenElevation) failed", GetTokenInformation,
                          code, "System error"));
    }
    facts.elevated = elevation.TokenIsElevated != 0;
    GetTokenInformation(token, TokenUser, nullptr, 0, &size);
    std::vector<BYTE> buffer(size);
    if (!GetTokenInformation(token, TokenUser, buffer.data(), size, &size)) {
        const DWORD code = GetLastError();
        KR_RAISE(SysError(MessageBuilder() << "GetTokenInformation(TokenUser) failed", GetTokenInformation, code,
                          "System error"));
    }
    wchar_t* text = nullptr;
    if (!ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid, &text)) {
        const DWORD code = GetLastError();
        KR_RAISE(SysError(MessageBuilder() << "ConvertSidToStringSid() failed", ConvertSidToStringSidW, code,
                          "System error"));
    }
    facts.userSid = text;
    LocalFree(text);
    return facts;
}

// A security descriptor that gives SYSTEM, the Administrators and, unless elevated, the user full control and nobody
// else any access, protected from what a shared parent such as C:\Windows\Temp would pass on.
class PrivateSecurity {
public:
    PrivateSecurity() {
        const tstring sddl = privateDirectorySddl();
        if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1, &descriptor_,
                                                                  nullptr)) {
            const DWORD code = GetLastError();
            KR_RAISE(SysError(MessageBuilder() << "ConvertStringSecurityDescriptorToSecurityDescriptor(" << sddl
                                               << ") failed",
                              ConvertStringSecurityDescriptorToSecurityDescriptorW, code, "System error"));
        }
    }
    ~PrivateSecurity() {
        const LastErrorPreserver preserver;
        LocalFree(descriptor_);
    }
    PrivateSecurity(const PrivateSecurity&) = delete;
    PrivateSecurity& operator=(const PrivateSecurity&) = delete;

    PSECURITY_DESCRIPTOR descriptor() const { return descriptor_; }

private:
    PSECURITY_DESCRIPTOR descriptor_ = nullptr;
};

// Creates a directory that only SYSTEM, the Administrators and the user can enter (see privateDirectorySddl),
// and opens it in the same call: the handle is of the directory this call made, so nobody can slip another one
// in between. An existing directory is never taken over: under a shared temporary path someone else may have
// made it. Holds no handle when the name is taken.
OwnedHandle createPrivateDir(const tstring& dir) {
    const PrivateSecurity security;
    UNICODE_STRING ntPath{};
    if (!RtlDosPathNameToNtPathName_U(dir.c_str(), &ntPath, nullptr, nullptr)) {
        KR_RAISE(SysError(MessageBuilder() << "CreateDirectory(" << dir << ") failed", CreateDirectoryW,
                          ERROR_BAD_PATHNAME, "System error"));
    }
    OBJECT_ATTRIBUTES attributes{};
    InitializeObjectAttributes(&attributes, &ntPath, OBJ_CASE_INSENSITIVE, nullptr, security.descriptor());
    IO_STATUS_BLOCK status{};
    HANDLE handle = nullptr;
    const NTSTATUS result = NtCreateFile(&handle, FILE_LIST_DIRECTORY | SYNCHRONIZE, &attributes, &status, nullptr,
                                         FILE_ATTRIBUTE_NORMAL, FILE_SHARE_READ | FILE_SHARE_WRITE, FILE_CREATE,
                                         FILE_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT |
                                             FILE_OPEN_FOR_BACKUP_INTENT | FILE_OPEN_REPARSE_POINT,
                                         nullptr, 0);
    RtlFreeUnicodeString(&ntPath);
    OwnedHandle owner(result >= 0 ? handle : nullptr);
    if (result == STATUS_OBJECT_NAME_COLLISION) {
        return owner;
    }
    if (result < 0) {
        // The code of the system's own directory creation, described by its message table.
        KR_RAISE(SysError(MessageBuilder() << "CreateDirectory(" << dir << ") failed", CreateDirectoryW,
                          RtlNtStatusToDosError(result), "System error"));
    }
    KR_TRACE("Created [" << dir << "] directory");
    return owner;
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

tstring privateDirectorySddl() {
    const TokenFacts token = readTokenFacts();
    // Elevated or as SYSTEM, the Administrators own it, whatever the policy on default owners says: the same
    // user's unelevated programs must neither enter it nor, as its owner, change its access list.
    if (token.elevated || token.userSid == L"S-1-5-18") {
        return L"O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)";
    }
    return L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;FA;;;" + token.userSid + L")";
}

tstring toAbsolutePath(const tstring& path) {
    if (path.empty()) {
        const CrtString current(_wgetcwd(nullptr, 0));
        if (!current) {
            KR_RAISE("_tgetcwd() failed");
        }
        if (!*current) {
            KR_RAISE("_tgetcwd() returned empty string");
        }
        return current.get();
    }
    // The runtime's full-path function stops at 260 characters; the system's has no such limit, so a
    // launcher in a deep folder can still name itself.
    tstring full(MAX_PATH, L'\0');
    DWORD length = GetFullPathNameW(path.c_str(), static_cast<DWORD>(full.size()), full.data(), nullptr);
    if (length >= full.size()) {
        full.resize(length);
        length = GetFullPathNameW(path.c_str(), static_cast<DWORD>(full.size()), full.data(), nullptr);
    }
    if (length == 0 || length >= full.size()) {
        KR_RAISE(MessageBuilder() << "_tfullpath(" << path << ") failed");
    }
    full.resize(length);
    return full;
}

bool isFileExists(const tstring& path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

bool isDirectory(const tstring& path) {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

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

tstring createTempDirectory(const tstring& prefix, const tstring& suffix, const tstring& baseDir, PathHold& hold) {
    // The placeholder file reserves a name only among those who use one. Whoever makes a directory of that
    // name after the placeholder is gone wins it, and the next reserved name is tried.
    for (int attempt = 0; attempt < 100; ++attempt) {
        const tstring path = createTempFile(prefix, suffix, baseDir);
        deleteFile(path);
        OwnedHandle dir = createPrivateDir(removeTrailingSlash(path) + L'\\');
        if (dir.get()) {
            hold = PathHold(dir.release());
            return path;
        }
        KR_WARNING("[" << path << "] was taken by someone else; trying another name");
    }
    KR_RAISE(MessageBuilder() << "createTempDirectory(" << prefix << ", " << suffix << ", " << baseDir
                              << ") failed");
}

tstring createTempDirectory(const tstring& prefix, const tstring& suffix, const tstring& baseDir) {
    PathHold released;
    return createTempDirectory(prefix, suffix, baseDir, released);
}

void moveFile(const tstring& source, const tstring& destination) {
    createDirectory(dirname(destination));
    moveFileImpl(source, destination, MOVEFILE_REPLACE_EXISTING | MOVEFILE_COPY_ALLOWED);
}

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

PathHold::PathHold(const tstring& path) {
    // Reading is shared; writing and deletion, which renaming and replacing take too, are not.
    const HANDLE handle = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                      FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        const DWORD code = GetLastError();
        KR_RAISE(SysError(MessageBuilder() << "CreateFile(" << path << ") failed", CreateFileW, code,
                          "System error"));
    }
    OwnedHandle owner(handle);
    BY_HANDLE_FILE_INFORMATION information{};
    if (!GetFileInformationByHandle(handle, &information)) {
        const DWORD code = GetLastError();
        KR_RAISE(SysError(MessageBuilder() << "GetFileInformationByHandle(" << path << ") failed",
                          GetFileInformationByHandle, code, "System error"));
    }
    if (information.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) {
        KR_RAISE(MessageBuilder() << "[" << path << "] is not a plain file");
    }
    handle_ = owner.release();
    KR_TRACE("Holding [" << path << "] file");
}

PathHold::PathHold(void* handle) : handle_(handle) {}

PathHold::PathHold(PathHold&& other) noexcept : handle_(std::exchange(other.handle_, nullptr)) {}

PathHold& PathHold::operator=(PathHold&& other) noexcept {
    if (this != &other) {
        release();
        handle_ = std::exchange(other.handle_, nullptr);
    }
    return *this;
}

PathHold::~PathHold() { release(); }

void PathHold::release() noexcept {
    if (handle_) {
        const LastErrorPreserver preserver;
        CloseHandle(std::exchange(handle_, nullptr));
    }
}

FileWriter::FileWriter(const tstring& destination)
    : tempPath_(createTempFile(L"kvs", L".tmp", dirname(destination))), destination_(destination) {
    deleter_.appendFile(tempPath_);
    stream_.exceptions(std::ios::failbit | std::ios::badbit);
    // The stream opens through the C runtime's wide fopen, which shares the file with others (deny-none);
    // binary mode passes the bytes unchanged, and a large write goes from the caller's memory in one call.
    // The file was created empty just now, so it is opened without truncation: on a Linux host a truncated
    // file is flushed to disk when it is closed, which made writing a large package markedly slower.
    stream_.open(tempPath_.c_str(), std::ios::in | std::ios::out | std::ios::binary);
}

FileWriter::~FileWriter() {
    const LastErrorPreserver preserver;
    // Closed before the Deleter removes the file; a failure here has nowhere to go.
    stream_.exceptions(std::ios::goodbit);
    if (stream_.is_open()) {
        stream_.close();
    }
}

FileWriter& FileWriter::write(const void* bytes, size_t count) {
    stream_.write(static_cast<const char*>(bytes), static_cast<std::streamsize>(count));
    return *this;
}

void FileWriter::finish() {
    stream_.close();
    moveFile(tempPath_, destination_);
    deleter_.cancel();
}

} // namespace FileUtils
