// A program run as a child with a time limit and a bound on its output: how the packer runs its package reader.
#pragma once

#include <chrono>
#include <cstddef>
#include <string>
#include <vector>

namespace pack::platform {

struct ChildResult {
    enum class End {
        Exited,     // `status` is its exit code
        Signalled,  // `status` is the signal that ended it
        TimedOut,   // killed at the time limit
        OutputTooLong, // killed when its output passed the bound
    };
    End end = End::Exited;
    int status = 0;
    bool coreDumped = false;
    std::string output; // its standard output, whole when it exited
};

// Runs `program` with `arguments` (those after its name): its standard input empty, its standard output
// collected, its standard error read and dropped, so that nothing it writes reaches the terminal. It gets no core
// limit above 0, and on Linux it is killed when the packer dies. Killed past `timeLimit` or past `outputLimit` bytes
// of output; always waited for, so no zombie remains. Raises Error when the program cannot be started.
ChildResult runChild(const std::string& program, const std::vector<std::string>& arguments,
                     std::chrono::milliseconds timeLimit, size_t outputLimit);

} // namespace pack::platform
