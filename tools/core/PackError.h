// The packer's error: a complete message for the user, in UTF-8; how a rule refuses a file; how a message quotes.
#pragma once

#include <stdexcept>
#include <string>

namespace pack {

class Error : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// An image whose format the packer cannot read or rewrite; the message says what is wrong with it, and the
// caller names the file.
class FormatError : public Error {
public:
    using Error::Error;
};

// Raises FormatError(rule) when `broken`: the one way a rule that a file breaks is told.
inline void refuseIf(bool broken, const std::string& rule) {
    if (broken) {
        throw FormatError(rule);
    }
}

// "'<text>'": a file's name, an option or a value from a file, set apart from the message around it.
inline std::string quoted(const std::string& text) { return "'" + text + "'"; }

} // namespace pack
