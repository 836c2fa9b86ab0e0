// The harnesses' own checks: a broken expectation ends the run with its text, which the fuzzer records as a crash.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>

namespace fuzz {

inline void require(bool holds, const std::string& expectation) {
    if (!holds) {
        std::fprintf(stderr, "fuzz: expected %s\n", expectation.c_str());
        std::abort();
    }
}

} // namespace fuzz
