// The private working directory: its access list, its creation already held, and PathHold.
#include "FileUtils.h"

#include "Log.h"
#include "OwnedHandle.h"
#include "WinErrorHandling.h"

#include <windows.h>
#include <sddl.h>
#include <winternl.h>
#include <ntstatus.h>

#include <utility>
#include <vector>

namespace FileUtils {

namespace {

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

} // namespace FileUtils
