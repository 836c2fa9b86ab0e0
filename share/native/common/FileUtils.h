// File-system services: path handling, file queries, creation of files and directories, deletion and clean-up.
#pragma once

#include "tstrings.h"

#include <cstdint>
#include <new>
#include <utility>
#include <vector>

namespace FileUtils {

// Paths (pure string operations; both separators are read, the backslash is written).
bool isDirSeparator(wchar_t c);
tstring dirname(const tstring& path);
tstring basename(const tstring& path);
tstring combinePath(const tstring& first, const tstring& second);
tstring removeTrailingSlash(const tstring& path);

class PathBuilder {
public:
    PathBuilder() = default;
    PathBuilder& operator<<(const tstring& part);
    operator tstring() const { return path_; }

private:
    tstring path_;
};

// File queries and absolute paths.
tstring toAbsolutePath(const tstring& path);
bool isFileExists(const tstring& path);
bool isDirectory(const tstring& path);

// Creation.
void createDirectory(const tstring& path);
tstring createTempFile(const tstring& prefix, const tstring& suffix, const tstring& baseDir);
class PathHold;
// The new directory is private (see privateDirectorySddl) and made by this call: a directory that someone
// else made under a reserved name is left alone and the next name is taken.
tstring createTempDirectory(const tstring& prefix, const tstring& suffix, const tstring& baseDir);
// As above, and `hold` holds the new directory from the moment it exists (see PathHold).
tstring createTempDirectory(const tstring& prefix, const tstring& suffix, const tstring& baseDir, PathHold& hold);
// The security descriptor of the directories made by createTempDirectory, in the system's text form: full
// control for SYSTEM, the Administrators and, unless the process is elevated or SYSTEM, the user; nothing for
// anyone else, nothing inherited. Elevated or as SYSTEM, the Administrators are its owner.
tstring privateDirectorySddl();
void moveFile(const tstring& source, const tstring& destination);

// Deletion: the std::nothrow forms return true on success and count a missing path as deleted.
// Tree deletion removes a directory link (junction or symbolic link) itself, never its target's content.
void deleteFile(const tstring& path);
bool deleteFile(const tstring& path, const std::nothrow_t&);
void deleteDirectory(const tstring& path);
bool deleteDirectory(const tstring& path, const std::nothrow_t&);
void deleteFiles(const tstring& dir);
bool deleteFiles(const tstring& dir, const std::nothrow_t&);
void deleteAll(const tstring& dir);
bool deleteAll(const tstring& dir, const std::nothrow_t&);

// Receives the entries of one directory from iterateDirectory.
class DirectoryCallback {
public:
    virtual ~DirectoryCallback() = default;
    // Return false to end the enumeration at once.
    virtual bool onFile(const tstring& path);
    virtual bool onDirectory(const tstring& path);
};

void iterateDirectory(const tstring& dir, DirectoryCallback& callback);

enum class DeleterEntryKind : int32_t { File = 0, DirectoryFiles = 1, RecursiveDirectory = 2, EmptyDirectory = 3 };

// Remembers paths and deletes them, files first, when it is destroyed.
class Deleter {
public:
    Deleter() = default;
    ~Deleter();
    Deleter(const Deleter&) = delete;
    Deleter& operator=(const Deleter&) = delete;

    Deleter& appendFile(const tstring& path);
    Deleter& appendDirectoryFiles(const tstring& path);
    Deleter& appendRecursiveDirectory(const tstring& path);
    Deleter& appendEmptyDirectory(const tstring& path);
    void cancel();

private:
    std::vector<std::pair<tstring, DeleterEntryKind>> entries_;
};

// Keeps a plain file (no link) or, from createTempDirectory, a directory open so that nobody can rename,
// replace or delete it while the hold lives; everyone may still read it. A held file cannot be written either;
// a held directory still takes new entries. Raises when the file cannot be opened or is no plain file.
class PathHold {
public:
    PathHold() = default;
    explicit PathHold(const tstring& file);
    ~PathHold();
    PathHold(PathHold&& other) noexcept;
    PathHold& operator=(PathHold&& other) noexcept;

private:
    friend tstring createTempDirectory(const tstring&, const tstring&, const tstring&, PathHold&);
    explicit PathHold(void* handle);
    void release() noexcept;

    void* handle_ = nullptr;
};

// Writes a file through a temporary file beside it; the destination changes only on finish(). Failed system
// calls raise SysError with the system's reason, such as a full disk.
class FileWriter {
public:
    explicit FileWriter(const tstring& destination);
    // Without a completed finish(), removes the temporary file and leaves the destination as it was.
    ~FileWriter();
    FileWriter(const FileWriter&) = delete;
    FileWriter& operator=(const FileWriter&) = delete;

    FileWriter& write(const void* bytes, size_t count);
    void finish();

private:
    tstring tempPath_;
    Deleter deleter_;
    void* file_ = nullptr; // the temporary file, open for writing until finish()
    tstring destination_;
};

} // namespace FileUtils
