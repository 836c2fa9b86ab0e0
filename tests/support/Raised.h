// Test support: runs code that must raise a located error and returns its two texts.
#pragma once

#include "ErrorHandling.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

namespace krtest {

struct Raised {
    std::string what; // with the location of the throw
    std::string bare; // the error's own message
};

template <class Work>
Raised raisedBy(Work&& work) {
    try {
        work();
    } catch (const std::runtime_error& error) {
        const auto* located = dynamic_cast<const KrErrorBase*>(&error);
        EXPECT_NE(located, nullptr) << error.what();
        return {error.what(), located ? located->bareMessage() : ""};
    }
    ADD_FAILURE() << "no error raised";
    return {};
}

} // namespace krtest
