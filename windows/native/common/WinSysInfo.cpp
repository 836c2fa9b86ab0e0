// System information from kernel32 and shell32: each answer is read into a growing buffer; failures raise SysError.
#include "WinSysInfo.h"

#include "FileUtils.h"
#include "WinErrorHandling.h"

#include <shellapi.h>

#include <algorithm>
#include <cwchar>
#include <memory>
#include <vector>

namespace SysInfo {

namespace {

constexpr size_t kPathBufferSize = 260;
constexpr size_t kEnvValueBufferSize = 10;

struct LocalFreeDeleter {
    void operator()(wchar_t** memory) const {
        const LastErrorPreserver preserver;
        LocalFree(memory);
    }
};

tstring textUpToNul(const std::vector<wchar_t>& buffer) {
    return tstring(buffer.data(), wcsnlen(buffer.data(), buffer.size()));
}

tstring getModulePath(HMODULE module = nullptr) {
    std::vector<wchar_t> buffer(kPathBufferSize);
    for (;;) {
        const DWORD length = GetModuleFileNameW(module, buffer.data(), static_cast<DWORD>(buffer.size()));
        if (length == 0) {
            const DWORD code = GetLastError();
            KR_RAISE(
                SysError(MessageBuilder() << "GetModuleFileName failed", GetModuleFileNameW, code, "System error"));
        }
        if (length < buffer.size()) {
            return tstring(buffer.data(), length);
        }
        // The path was cut to the buffer.
        buffer.resize(buffer.size() * 2);
    }
}

// The process command line, with the program's own full path put in double quotes when the line begins with
// it unquoted (ignoring case) and a blank, a tab or the end follows. CreateProcess makes such a line from a
// path alone, and a line typed or stored unquoted gives one; the system's split would end the program name at
// the path's first blank and hand the rest of the path on as arguments. A path holds no double quote, so
// quoting it keeps it one element. Any other line is returned unchanged.
tstring commandLineWithOwnPathWhole() {
    const tstring commandLine = GetCommandLineW();
    const tstring ownPath = getModulePath();
    const size_t length = ownPath.size();
    const bool beginsWithOwnPath =
        commandLine.size() >= length &&
        CompareStringOrdinal(commandLine.c_str(), static_cast<int>(length), ownPath.c_str(), static_cast<int>(length),
                             TRUE) == CSTR_EQUAL &&
        (commandLine.size() == length || commandLine[length] == L' ' || commandLine[length] == L'\t');
    if (!beginsWithOwnPath) {
        return commandLine;
    }
    return L'"' + commandLine.substr(0, length) + L'"' + commandLine.substr(length);
}

// `errorOccurred` null: an unset or unreadable variable raises instead of being flagged.
tstring getEnvVariableImpl(const tstring& name, bool* errorOccurred) {
    std::vector<wchar_t> buffer(kEnvValueBufferSize);
    SetLastError(0);
    const DWORD required = GetEnvironmentVariableW(name.c_str(), buffer.data(), static_cast<DWORD>(buffer.size()));
    const DWORD code = GetLastError();
    if (code == ERROR_ENVVAR_NOT_FOUND) {
        if (errorOccurred) {
            *errorOccurred = true;
            return tstring();
        }
        KR_RAISE(SysError(MessageBuilder() << "GetEnvironmentVariable(" << name << ") failed. Variable not set",
                          GetEnvironmentVariableW, code, "System error"));
    }
    if (required > buffer.size()) {
        buffer.resize(required);
        GetEnvironmentVariableW(name.c_str(), buffer.data(), static_cast<DWORD>(buffer.size()));
        const DWORD retryCode = GetLastError();
        if (retryCode != 0) {
            if (errorOccurred) {
                *errorOccurred = true;
                return tstring();
            }
            KR_RAISE(SysError(MessageBuilder() << "GetEnvironmentVariable(" << name << ") failed",
                              GetEnvironmentVariableW, retryCode, "System error"));
        }
    }
    if (errorOccurred) {
        *errorOccurred = false;
    }
    return textUpToNul(buffer);
}

using SystemDirFunction = UINT(WINAPI*)(LPWSTR, UINT);

tstring getSystemDirImpl(SystemDirFunction function, const char* label) {
    std::vector<wchar_t> buffer(kPathBufferSize);
    for (int attempt = 0; attempt < 2; ++attempt) {
        const UINT result = function(buffer.data(), static_cast<UINT>(buffer.size()));
        if (result == 0) {
            const DWORD code = GetLastError();
            KR_RAISE(SysError(MessageBuilder() << label << " failed", function, code, "System error"));
        }
        if (result < buffer.size()) {
            return FileUtils::removeTrailingSlash(textUpToNul(buffer));
        }
        buffer.resize(static_cast<size_t>(result) + 1);
    }
    KR_RAISE(MessageBuilder() << "Unexpected reply from" << label);
}

// A kernel32 function that older systems lack; null there.
template <class Function>
Function optionalKernelFunction(const char* name) {
    return reinterpret_cast<Function>(
        reinterpret_cast<void (*)()>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), name)));
}

using TempPathFunction = DWORD(WINAPI*)(DWORD, LPWSTR);

tstring getTempDirImpl(TempPathFunction function) {
    std::vector<wchar_t> buffer(kPathBufferSize);
    const DWORD required = function(static_cast<DWORD>(buffer.size()), buffer.data());
    if (required > buffer.size()) {
        buffer.resize(required);
        function(static_cast<DWORD>(buffer.size()), buffer.data());
    }
    // A failed call leaves the buffer zero-filled: the result is empty.
    return FileUtils::removeTrailingSlash(textUpToNul(buffer));
}

} // namespace

tstring_array getCommandArgs(CommandArgProgramNameMode mode) {
    const tstring commandLine = commandLineWithOwnPathWhole();
    int count = 0;
    const std::unique_ptr<wchar_t*, LocalFreeDeleter> args(CommandLineToArgvW(commandLine.c_str(), &count));
    if (!args) {
        const DWORD code = GetLastError();
        KR_RAISE(SysError(MessageBuilder() << "CommandLineToArgvW failed", CommandLineToArgvW, code, "System error"));
    }
    tstring_array result;
    for (int i = mode == CommandArgProgramNameMode::ExcludeProgramName ? 1 : 0; i < count; ++i) {
        result.emplace_back(args.get()[i]);
    }
    return result;
}

tstring getArgumentText() {
    const tstring commandLine = commandLineWithOwnPathWhole();
    // The program name ends where the system's own split ends it: at the closing quote of a quoted name,
    // otherwise at the first blank. Backslashes mean nothing there.
    size_t end = 0;
    if (!commandLine.empty() && commandLine[0] == L'"') {
        const size_t closing = commandLine.find(L'"', 1);
        end = closing == tstring::npos ? commandLine.size() : closing + 1;
    } else {
        end = std::min(commandLine.find_first_of(L" \t"), commandLine.size());
    }
    const size_t text = commandLine.find_first_not_of(L" \t", end);
    return text == tstring::npos ? tstring() : commandLine.substr(text);
}

HMODULE getCurrentModuleHandle() {
    HMODULE module = nullptr;
    if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                            reinterpret_cast<LPCWSTR>(&getCurrentModuleHandle), &module)) {
        const DWORD code = GetLastError();
        KR_RAISE(SysError(MessageBuilder() << "GetModuleHandleExW failed", GetModuleHandleExW, code, "System error"));
    }
    return module;
}

tstring getProcessModulePath() { return FileUtils::toAbsolutePath(getModulePath()); }

tstring getCurrentModulePath() { return getModulePath(getCurrentModuleHandle()); }

tstring getEnvVariable(const tstring& name, const tstring& defaultValue) {
    bool errorOccurred = false;
    const tstring value = getEnvVariableImpl(name, &errorOccurred);
    return errorOccurred ? defaultValue : value;
}

tstring getEnvVariable(const tstring& name) { return getEnvVariableImpl(name, nullptr); }

tstring getSystemDir() { return getSystemDirImpl(GetSystemDirectoryW, "GetSystemDirectory"); }

tstring getMsiexecPath() {
    FileUtils::PathBuilder path;
    path << getSystemDir() << L"msiexec.exe";
    return path;
}

tstring getTempDir() {
    // GetTempPath2W answers as GetTempPathW does for everyone but SYSTEM; older systems lack it.
    const auto tempPath2 = optionalKernelFunction<TempPathFunction>("GetTempPath2W");
    return getTempDirImpl(tempPath2 ? tempPath2 : GetTempPathW);
}

bool isWindowStationVisible() {
    USEROBJECTFLAGS flags{};
    if (!GetUserObjectInformationW(GetProcessWindowStation(), UOI_FLAGS, &flags, sizeof(flags), nullptr)) {
        return true;
    }
    return (flags.dwFlags & WSF_VISIBLE) != 0;
}

void restrictLibrarySearch() {
    const auto setDefaultDllDirectories =
        optionalKernelFunction<BOOL(WINAPI*)(DWORD)>("SetDefaultDllDirectories");
    if (setDefaultDllDirectories) {
        setDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);
    }
}

SystemLibrary::SystemLibrary(const tstring& fileName) : fileName_(fileName) {
    module_ = LoadLibraryExW(fileName.c_str(), nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    DWORD code = GetLastError();
    if (!module_ && code == ERROR_INVALID_PARAMETER) {
        // Windows 7 without its loader update knows no search flags; a full path then leaves no search at all.
        const tstring path = FileUtils::PathBuilder() << getSystemDir() << fileName;
        module_ = LoadLibraryExW(path.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
        code = GetLastError();
    }
    if (!module_) {
        KR_RAISE(SysError(MessageBuilder() << "Cannot load " << fileName << " from the system directory",
                          LoadLibraryExW, code, "System error"));
    }
}

FARPROC SystemLibrary::address(const char* name) const {
    const FARPROC found = GetProcAddress(module_, name);
    if (!found) {
        const DWORD code = GetLastError();
        KR_RAISE(SysError(MessageBuilder() << "Cannot find " << name << " in " << fileName_, GetProcAddress, code,
                          "System error"));
    }
    return found;
}

} // namespace SysInfo
