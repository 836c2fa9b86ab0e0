// System information: command-line arguments, module handles and paths, environment, system and temporary directories.
#pragma once

#include "tstrings.h"

#include <windows.h>

#include <cstdint>

namespace SysInfo {

// Whether getCommandArgs keeps the program's own path; only ExcludeProgramName drops it.
enum class CommandArgProgramNameMode : int32_t { IncludeProgramName = 0, ExcludeProgramName = 1 };

// The process command line as split by CommandLineToArgvW, pieces unchanged. A line that begins with the
// program's own full path unquoted holds that path as one element, blanks and all.
tstring_array getCommandArgs(CommandArgProgramNameMode mode);

// The process command line as typed after the program name: without that name's token and the blanks that
// follow it, everything else unchanged. The program's own full path, unquoted at the start, is one token.
tstring getArgumentText();

// The module that contains this code; no reference is taken.
HMODULE getCurrentModuleHandle();

// Absolute path of the process executable.
tstring getProcessModulePath();

// Path of the module that contains this code.
tstring getCurrentModulePath();

// The variable's value; `defaultValue` when it is not set or cannot be read. An empty value is a value.
tstring getEnvVariable(const tstring& name, const tstring& defaultValue);

// The variable's value; raises SysError when it is not set or cannot be read.
tstring getEnvVariable(const tstring& name);

// The Windows system directory, without trailing separator.
tstring getSystemDir();

// The system's msiexec.exe: the system directory, one backslash and "msiexec.exe".
tstring getMsiexecPath();

// The temporary directory without trailing separator; empty when the system reports none. A process running
// as SYSTEM gets the system's own temporary directory where Windows has one (only SYSTEM can write there);
// every other user gets the user's temporary directory.
tstring getTempDir();

// Whether the process's window station is one a user can see. A service, a deployment agent in session 0 and
// a build runner have none, and a modal box there would wait for ever. True when the system cannot tell.
bool isWindowStationVisible();

// From here on, libraries loaded by name come from the system directory only, never from beside the
// executable, where a download folder may hold a planted one. Windows 7 without its loader update lacks the
// means, and nothing changes there.
void restrictLibrarySearch();

// A library of the system directory, loaded by its file name and never from anywhere else. It stays loaded
// for the life of the process, as an imported one would. Failures raise SysError naming the library.
class SystemLibrary {
public:
    explicit SystemLibrary(const tstring& fileName);

    // The exported function `name`, as a pointer of type Function.
    template <class Function>
    Function function(const char* name) const {
        return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(address(name)));
    }

private:
    FARPROC address(const char* name) const;

    tstring fileName_;
    HMODULE module_;
};

} // namespace SysInfo
