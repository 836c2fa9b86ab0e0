// A program run as a child with a time limit and a bound on its output: how the packer runs its package reader.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace pack::platform {

struct ChildResult {
    enum class End {
        Exited,        // `exitCode` is its exit code, an exception's code when it crashed
        TimedOut,      // killed at the time limit
        OutputTooLong, // killed when its output passed the bound
    };
    End end = End::Exited;
    uint32_t exitCode = 0;
    std::string output; // its standard output, whole when it exited
};

// The running program's own path, UTF-8.
std::string ownProgramPath();

// Runs `program` with `arguments` (those after its name, quoted as the C runtime splits them): without a window,
// its standard input and error the null device, its standard output collected. It runs in a job that kills it, and
// whatever it started, when the packer's handle to the job closes: at the time limit, past `outputLimit` bytes of
// output, or when the packer ends. Raises Error when the program cannot be started.
ChildResult runChild(const std::string& program, const std::vector<std::string>& arguments,
                     std::chrono::milliseconds timeLimit, size_t outputLimit);

} // namespace pack::platform
