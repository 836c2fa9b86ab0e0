// kr-echo: a child for tests that reports how it was started and exits with the code it is asked for.
// Report: UTF-8 lines, each "name=value\n" with the value raw, to the file named by KR_ECHO_OUT (standard
// output when unset), in this order:
//   cmdline=<GetCommandLineW()>   argc=<n>   arg<i>=<CommandLineToArgvW element i> for i = 0..n-1
//   pid=<process id, decimal>   flags=<STARTUPINFO dwFlags, 0x%08X>   show=<wShowWindow, decimal>
//   console=<1 when GetConsoleWindow() is not NULL, else 0>
//   parent=<the command line of the process that started it, read from that process; empty when unreadable>
// Exit code: KR_ECHO_EXIT (unsigned 32-bit, decimal or 0x-prefixed hex), 0 when unset; 0x4B524543 when
// KR_ECHO_EXIT is malformed or the report cannot be written.
#include <windows.h>

#include <shellapi.h>
#include <winternl.h>

#include <cstdio>
#include <cwchar>
#include <string>

namespace {

const UINT kEchoFailed = 0x4B524543; // "KREC"

std::string utf8(const wchar_t* text) {
    const int size = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    if (size <= 1) {
        return std::string();
    }
    std::string bytes(static_cast<size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, -1, &bytes[0], size, nullptr, nullptr);
    bytes.pop_back();
    return bytes;
}

// The value of `name`, or false when it is not set.
bool getVariable(const wchar_t* name, std::wstring& value) {
    wchar_t buffer[32768];
    const DWORD length = GetEnvironmentVariableW(name, buffer, sizeof(buffer) / sizeof(buffer[0]));
    if (length == 0 || length >= sizeof(buffer) / sizeof(buffer[0])) {
        return false;
    }
    value.assign(buffer, length);
    return true;
}

bool parseExitCode(const std::wstring& text, UINT& code) {
    const bool hex = text.size() > 2 && text[0] == L'0' && (text[1] == L'x' || text[1] == L'X');
    const wchar_t* digits = text.c_str() + (hex ? 2 : 0);
    if (*digits == L'\0' || *digits == L'-' || *digits == L'+' || *digits == L' ') {
        return false;
    }
    wchar_t* end = nullptr;
    const unsigned long long value = std::wcstoull(digits, &end, hex ? 16 : 10);
    if (*end != L'\0' || value > 0xFFFFFFFFull) {
        return false;
    }
    code = static_cast<UINT>(value);
    return true;
}

// Reads `size` bytes at `address` of `process`.
bool readMemory(HANDLE process, const void* address, void* buffer, size_t size) {
    SIZE_T read = 0;
    return ReadProcessMemory(process, address, buffer, size, &read) && read == size;
}

// The command line of the process that started this one, as that process holds it: what it was really given.
std::string parentCommandLine() {
    PROCESS_BASIC_INFORMATION self{};
    if (NtQueryInformationProcess(GetCurrentProcess(), ProcessBasicInformation, &self, sizeof(self), nullptr) != 0) {
        return std::string();
    }
    const DWORD parentId = static_cast<DWORD>(self.InheritedFromUniqueProcessId);
    const HANDLE parent = OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, parentId);
    if (!parent) {
        return std::string();
    }
    std::string text;
    PROCESS_BASIC_INFORMATION info{};
    PEB peb{};
    RTL_USER_PROCESS_PARAMETERS parameters{};
    if (NtQueryInformationProcess(parent, ProcessBasicInformation, &info, sizeof(info), nullptr) == 0 &&
        readMemory(parent, info.PebBaseAddress, &peb, sizeof(peb)) &&
        readMemory(parent, peb.ProcessParameters, &parameters, sizeof(parameters))) {
        std::wstring commandLine(parameters.CommandLine.Length / sizeof(wchar_t), L'\0');
        if (readMemory(parent, parameters.CommandLine.Buffer, &commandLine[0], parameters.CommandLine.Length)) {
            text = utf8(commandLine.c_str());
        }
    }
    CloseHandle(parent);
    return text;
}

std::string report() {
    const wchar_t* commandLine = GetCommandLineW();
    std::string text = "cmdline=" + utf8(commandLine) + "\n";

    int argc = 0;
    wchar_t** argv = CommandLineToArgvW(commandLine, &argc);
    text += "argc=" + std::to_string(argv ? argc : -1) + "\n";
    for (int i = 0; argv && i < argc; ++i) {
        text += "arg" + std::to_string(i) + "=" + utf8(argv[i]) + "\n";
    }
    LocalFree(argv);

    STARTUPINFOW startupInfo{};
    startupInfo.cb = sizeof(startupInfo);
    GetStartupInfoW(&startupInfo);
    char flags[16];
    std::snprintf(flags, sizeof(flags), "0x%08lX", static_cast<unsigned long>(startupInfo.dwFlags));

    text += "pid=" + std::to_string(GetCurrentProcessId()) + "\n";
    text += std::string("flags=") + flags + "\n";
    text += "show=" + std::to_string(startupInfo.wShowWindow) + "\n";
    text += std::string("console=") + (GetConsoleWindow() ? "1" : "0") + "\n";
    text += "parent=" + parentCommandLine() + "\n";
    return text;
}

bool writeReport(const std::string& text) {
    std::wstring path;
    if (!getVariable(L"KR_ECHO_OUT", path)) {
        return std::fwrite(text.data(), 1, text.size(), stdout) == text.size() && std::fflush(stdout) == 0;
    }
    std::FILE* file = _wfopen(path.c_str(), L"wb");
    if (!file) {
        return false;
    }
    const bool written = std::fwrite(text.data(), 1, text.size(), file) == text.size();
    return std::fclose(file) == 0 && written;
}

} // namespace

int main() {
    UINT exitCode = 0;
    std::wstring requested;
    if (getVariable(L"KR_ECHO_EXIT", requested) && !parseExitCode(requested, exitCode)) {
        std::fprintf(stderr, "kr-echo: KR_ECHO_EXIT is no unsigned 32-bit number\n");
        ExitProcess(kEchoFailed);
    }
    if (!writeReport(report())) {
        std::fprintf(stderr, "kr-echo: cannot write the report\n");
        ExitProcess(kEchoFailed);
    }
    ExitProcess(exitCode);
}
