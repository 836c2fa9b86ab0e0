// Test support: runs a Windows program as a user would, with its full exit code, output and message boxes.
#pragma once

#include <windows.h>

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace krtest {

struct Dialog {
    std::wstring caption;
    std::wstring text;
};

struct RunOptions {
    // Environment changes for the child: variables to set (name, value) and to remove.
    std::vector<std::pair<std::wstring, std::wstring>> setEnv;
    std::vector<std::wstring> unsetEnv;
    std::wstring currentDirectory;
    DWORD timeoutMs = 120000;
    // Whether message boxes of the child's own children are answered too; off when the child answers them.
    bool answerDescendantDialogs = true;
    // Extra CreateProcessW flags, e.g. DETACHED_PROCESS so that the child starts without a console.
    DWORD creationFlags = 0;
    // "station\\desktop" to start the child on; empty for this program's own.
    std::wstring desktop;
};

struct RunResult {
    uint32_t exitCode = 0;
    bool timedOut = false;
    std::string out; // standard output, bytes as written
    std::string err; // standard error, bytes as written
    std::vector<Dialog> dialogs; // message boxes the child or its children showed; each was answered with OK
};

// Starts `program` with `commandLine` (the whole line, program name included; empty for none, so that the
// system makes the line from `program`), captures its standard streams, answers its message boxes with OK and
// waits for it.
RunResult runCommandLine(const std::wstring& program, const std::wstring& commandLine, const RunOptions& options = {});

// As runCommandLine, with the line composed from `args` by the usual quoting rules.
RunResult run(const std::wstring& program, const std::vector<std::wstring>& args, const RunOptions& options = {});

// A program started as `run` starts it, for tests that act while it runs. It is created suspended, so that
// several can be resumed in the same moment; `finish` answers its message boxes, waits for it and collects
// what it wrote. Whatever of the run is still going when the object goes is ended.
class StartedProgram {
public:
    StartedProgram(const std::wstring& program, const std::vector<std::wstring>& args, const RunOptions& options = {});
    ~StartedProgram();
    StartedProgram(const StartedProgram&) = delete;
    StartedProgram& operator=(const StartedProgram&) = delete;

    void resume();
    HANDLE process() const;
    DWORD processId() const;
    RunResult finish();

private:
    friend RunResult runCommandLine(const std::wstring&, const std::wstring&, const RunOptions&);
    struct WholeLine {};
    StartedProgram(const std::wstring& program, const std::wstring& commandLine, const RunOptions& options, WholeLine);

    struct State;
    std::unique_ptr<State> state_;
};

// Quotes one argument so that CommandLineToArgvW gives it back unchanged.
std::wstring quoteArgument(const std::wstring& arg);

// The directory that holds the running test program and every program the build made.
std::wstring binDir();
std::wstring binPath(const std::wstring& fileName);

std::wstring tempPath();

// A fresh directory under the temporary path, deleted with its content on destruction.
class ScratchDir {
public:
    ScratchDir();
    ~ScratchDir();
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;
    const std::wstring& path() const { return path_; }
    std::wstring file(const std::wstring& name) const { return path_ + L"\\" + name; }

private:
    std::wstring path_;
};

// Sets (or, without a value, removes) an environment variable of this process; the earlier state comes
// back on destruction.
class EnvVariableScope {
public:
    EnvVariableScope(const std::wstring& name, const std::wstring& value);
    explicit EnvVariableScope(const std::wstring& name);
    ~EnvVariableScope();
    EnvVariableScope(const EnvVariableScope&) = delete;
    EnvVariableScope& operator=(const EnvVariableScope&) = delete;

private:
    std::wstring name_;
    bool wasSet_ = false;
    std::wstring previous_;
};

// A window station with one desktop that nobody sees, as a service or a deployment agent in session 0 has;
// RunOptions::desktop = name() starts a child there.
class HiddenDesktop {
public:
    HiddenDesktop();
    ~HiddenDesktop();
    HiddenDesktop(const HiddenDesktop&) = delete;
    HiddenDesktop& operator=(const HiddenDesktop&) = delete;

    bool ready() const { return desktop_ != nullptr; }
    std::wstring name() const;

private:
    std::wstring stationName_;
    HWINSTA station_;
    HDESK desktop_ = nullptr;
};

// kr-echo's report in `path`: each "name=value" line as one entry.
std::map<std::string, std::string> readEchoReport(const std::wstring& path);

// The properties a test package reported through kr-echo, as the installer had them: the NAME=value pairs
// between the bars after "KR_PROPS|" on kr-echo's command line.
std::map<std::string, std::string> reportedProperties(const std::map<std::string, std::string>& echoReport);

void writeFile(const std::wstring& path, const std::string& bytes);
std::string readFile(const std::wstring& path);
bool exists(const std::wstring& path);
std::vector<std::wstring> listDir(const std::wstring& dir, const std::wstring& pattern = L"*");
void removeTree(const std::wstring& path);
// Opens `path` (a file or a directory) with `access`, sharing everything, as someone who wants to change it
// would; the error the system gives, or 0 when it opens.
DWORD errorOfOpening(const std::wstring& path, DWORD access);

std::string utf8(const std::wstring& text);
std::wstring wide(const std::string& text);

} // namespace krtest
