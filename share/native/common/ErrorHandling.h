// Error model: source locations, located errors thrown with KR_RAISE, message joining and caught-error reports.
#pragma once

#include "tstrings.h"

#include <cstdint>
#include <exception>
#include <stdexcept>
#include <string>

// Where an error was thrown or a record written. The strings are static for the whole run.
struct SourceLocation {
    const char* file;
    const char* function;
    int32_t line;
};

// The qualified name of a function ("FileUtils::`anonymous-namespace'::createNewFile") from the
// compiler's full signature; the result lives as long as the process.
const char* functionLabel(const char* prettyFunction);
const wchar_t* wideFunctionLabel(const char* prettyFunction);

#define KR_HERE (::SourceLocation{__FILE__, ::functionLabel(__PRETTY_FUNCTION__), __LINE__})

// The error's own message, without the location of the throw.
class KrErrorBase {
public:
    virtual const char* bareMessage() const = 0;

protected:
    KrErrorBase() = default;
    KrErrorBase(const KrErrorBase&) = default;
    KrErrorBase& operator=(const KrErrorBase&) = default;
    ~KrErrorBase() = default;
};

std::string composeLocatedMessage(const std::exception& error, const SourceLocation& location);

// Every thrown error: the error T with its throw site folded into what().
template <class T>
class KrError : public KrErrorBase, public T {
public:
    KrError(const T& error, const SourceLocation& location)
        : T(error), locatedMessage_(composeLocatedMessage(error, location)) {}

    const char* what() const noexcept override { return locatedMessage_.c_str(); }
    const char* bareMessage() const override { return T::what(); }

private:
    std::string locatedMessage_;
};

KrError<std::runtime_error> makeError(const std::string& message, const SourceLocation& location);
KrError<std::runtime_error> makeError(const char* message, const SourceLocation& location);
KrError<std::runtime_error> makeError(const tstrings::MessageBuilder& message, const SourceLocation& location);

#define KR_RAISE(error) throw makeError((error), KR_HERE)

// Joins two texts as sentences: "first. second", or "first! second" after final punctuation.
std::string joinMessages(const std::string& first, const std::string& second);

// One ERROR record for an error stopped at `location`.
void logCaughtError(const SourceLocation& location, const std::exception& error);
void logUnknownError(const SourceLocation& location);

// Runs `work`, reporting and swallowing anything it throws; true when it completed.
template <class Work>
bool runGuarded(const SourceLocation& location, Work&& work) noexcept {
    try {
        try {
            work();
            return true;
        } catch (const std::runtime_error& error) {
            logCaughtError(location, error);
        } catch (...) {
            logUnknownError(location);
        }
    } catch (...) {
        // The report itself failed (out of memory while logging); nothing is left to tell.
    }
    return false;
}
