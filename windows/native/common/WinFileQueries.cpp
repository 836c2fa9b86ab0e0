// File queries and absolute paths on the real file system.
#include "FileUtils.h"

#include "ErrorHandling.h"

#include <windows.h>

#include <cstdlib>
#include <memory>

namespace FileUtils {

namespace {

struct FreeDeleter {
    void operator()(wchar_t* p) const { std::free(p); }
};
using CrtString = std::unique_ptr<wchar_t, FreeDeleter>;

} // namespace

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

} // namespace FileUtils
