// Located error messages, function labels, message joining and the reports of caught errors.
#include "ErrorHandling.h"

#include "Log.h"

#include <cstring>
#include <map>

namespace {

std::string baseName(const char* path) {
    const char* name = path;
    for (const char* p = path; *p; ++p) {
        if (*p == '\\' || *p == '/') {
            name = p + 1;
        }
    }
    return name;
}

bool isIdentifierChar(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
}

void replaceWord(std::string& text, const std::string& word, const std::string& replacement) {
    size_t position = 0;
    while ((position = text.find(word, position)) != std::string::npos) {
        const size_t end = position + word.size();
        const bool startsWord = position == 0 || !isIdentifierChar(text[position - 1]);
        const bool endsWord = end == text.size() || !isIdentifierChar(text[end]);
        if (startsWord && endsWord) {
            text.replace(position, word.size(), replacement);
            position += replacement.size();
        } else {
            position = end;
        }
    }
}

// Applies "[with T = X; U = Y]" to the name so templates show their arguments: action<msi::uninstall>.
std::string substituteTemplateArguments(std::string name, const std::string& bindings) {
    size_t start = 0;
    while (start < bindings.size()) {
        size_t end = bindings.find("; ", start);
        if (end == std::string::npos) {
            end = bindings.size();
        }
        const std::string binding = bindings.substr(start, end - start);
        const size_t equals = binding.find(" = ");
        if (equals != std::string::npos) {
            replaceWord(name, binding.substr(0, equals), binding.substr(equals + 3));
        }
        start = end + 2;
    }
    return name;
}

// "bool FileUtils::{anonymous}::createNewFile(const tstring&)" -> "FileUtils::`anonymous-namespace'::createNewFile".
std::string trimSignature(const std::string& pretty) {
    std::string text = pretty;
    // A record written inside a lambda belongs to the function around it.
    const size_t lambda = text.find(")::<lambda");
    if (lambda != std::string::npos) {
        text.erase(lambda + 1);
    }
    std::string bindings;
    const size_t with = text.rfind(" [with ");
    if (with != std::string::npos && text.back() == ']') {
        bindings = text.substr(with + 7, text.size() - with - 8);
        text.erase(with);
    }
    // Drop cv and reference qualifiers, then the parameter list: the last balanced "(...)".
    for (const char* qualifier : {" const", " volatile", " &&", " &", " noexcept"}) {
        const size_t length = std::strlen(qualifier);
        while (text.size() > length && text.compare(text.size() - length, length, qualifier) == 0) {
            text.erase(text.size() - length);
        }
    }
    if (!text.empty() && text.back() == ')') {
        int depth = 0;
        for (size_t i = text.size(); i-- > 0;) {
            if (text[i] == ')') {
                ++depth;
            } else if (text[i] == '(' && --depth == 0) {
                text.erase(i);
                break;
            }
        }
    }
    // The name starts after the last blank outside template brackets and parentheses (the return type).
    int depth = 0;
    size_t nameStart = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (text.compare(i, 8, "operator") == 0 && (i == 0 || !isIdentifierChar(text[i - 1]))) {
            break;
        }
        if (c == '<' || c == '(' || c == '[') {
            ++depth;
        } else if (c == '>' || c == ')' || c == ']') {
            --depth;
        } else if (c == ' ' && depth == 0) {
            nameStart = i + 1;
        }
    }
    std::string name = substituteTemplateArguments(text.substr(nameStart), bindings);
    const std::string anonymous = "{anonymous}";
    for (size_t position = name.find(anonymous); position != std::string::npos; position = name.find(anonymous)) {
        name.replace(position, anonymous.size(), "`anonymous-namespace'");
    }
    return name;
}

// Filled on the process's single thread, so it takes no lock.
struct LabelCache {
    std::map<const char*, std::string> narrow;
    std::map<const char*, std::wstring> wide;
};

LabelCache& labelCache() {
    static LabelCache* cache = new LabelCache(); // never destroyed: labels outlive every static
    return *cache;
}

} // namespace

const char* functionLabel(const char* prettyFunction) {
    LabelCache& cache = labelCache();
    auto found = cache.narrow.find(prettyFunction);
    if (found == cache.narrow.end()) {
        found = cache.narrow.emplace(prettyFunction, trimSignature(prettyFunction)).first;
    }
    return found->second.c_str();
}

const wchar_t* wideFunctionLabel(const char* prettyFunction) {
    const char* label = functionLabel(prettyFunction);
    LabelCache& cache = labelCache();
    auto found = cache.wide.find(prettyFunction);
    if (found == cache.wide.end()) {
        found = cache.wide.emplace(prettyFunction, tstrings::decodeUtf8(label)).first;
    }
    return found->second.c_str();
}

std::string composeLocatedMessage(const std::exception& error, const SourceLocation& location) {
    return baseName(location.file) + "(" + std::to_string(location.line) + ") at " + location.function + "(): " +
           error.what();
}

KrError<std::runtime_error> makeError(const std::string& message, const SourceLocation& location) {
    return KrError<std::runtime_error>(std::runtime_error(message), location);
}

KrError<std::runtime_error> makeError(const char* message, const SourceLocation& location) {
    return makeError(std::string(message), location);
}

KrError<std::runtime_error> makeError(const tstrings::MessageBuilder& message, const SourceLocation& location) {
    return makeError(message.utf8(), location);
}

std::string joinMessages(const std::string& first, const std::string& second) {
    // The white space of the classic locale.
    const auto isSpace = [](char c) { return c == ' ' || (c >= '\t' && c <= '\r'); };

    size_t firstEnd = first.size();
    while (firstEnd > 0 && isSpace(first[firstEnd - 1])) {
        --firstEnd;
    }
    std::string result = first.substr(0, firstEnd);

    std::string separator;
    if (firstEnd > 0) {
        separator = std::string(";.,:!?").find(result.back()) != std::string::npos ? " " : ". ";
    }

    size_t secondStart = 0;
    while (secondStart < second.size() && isSpace(second[secondStart])) {
        ++secondStart;
    }
    size_t secondEnd = second.size();
    while (secondEnd > secondStart && isSpace(second[secondEnd - 1])) {
        --secondEnd;
    }
    if (secondEnd > secondStart) {
        result += separator;
        result += second.substr(secondStart, secondEnd - secondStart);
    }
    return result;
}

void logCaughtError(const SourceLocation& location, const std::exception& error) {
    const tstring message = (MessageBuilder() << "Exception with message '" << error.what() << "' caught").str();
    Logger::global().log(LogLevel::Error, tstrings::decodeUtf8(baseName(location.file)).c_str(), location.line,
                         tstrings::decodeUtf8(location.function).c_str(), message);
}

void logUnknownError(const SourceLocation& location) {
    Logger::global().log(LogLevel::Error, tstrings::decodeUtf8(baseName(location.file)).c_str(), location.line,
                         tstrings::decodeUtf8(location.function).c_str(), tstring(L"Unknown exception caught"));
}
