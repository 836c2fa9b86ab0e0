// Runs one child program to its end: its command line, its creation and the wait for its exit code.
#pragma once

#include "OwnedHandle.h"
#include "tstrings.h"

#include <windows.h>

#include <functional>

// One child program with its arguments and start options; by default it runs hidden, without a console
// window, without inherited handles, not suspended and outside any job.
class Executor {
public:
    explicit Executor(const tstring& programPath);

    Executor& addArg(const tstring& arg);
    // Text the child receives as it stands, after the arguments and one blank; nothing when empty.
    Executor& setArgumentText(const tstring& text);

    Executor& setVisible(bool enabled);
    Executor& setInheritHandles(bool enabled);
    Executor& setSuspended(bool enabled);
    // The job is not owned: the caller keeps it open while the executor runs and closes it.
    Executor& setJobObject(HANDLE job);
    // Called with the child's process handle once the child exists (and is in its job, if one is set).
    Executor& setAfterStart(std::function<void(HANDLE)> hook);

    // Starts the child, waits for it without a time limit and returns its 32-bit exit code bit for bit.
    int execAndWaitForExit() const;

    // The program path and the arguments, each quoted for the child, then the argument text, joined by single
    // spaces.
    tstring buildCommandLine() const;

private:
    OwnedHandle startProcess(OwnedHandle* threadHandle) const;

    // Wraps an element holding a blank in double quotes, unless it is empty or already quoted as a whole.
    static void quoteArg(tstring& arg);

    bool visible;
    bool inheritHandles;
    bool suspended;
    HANDLE jobObject;
    tstring_array args;
    tstring argumentText;
    tstring appPath;
    std::function<void(HANDLE)> afterStart;
};
