// The installer program's command-line syntax: property names, and the launcher's arguments as it forwards them.
#include "MsiCommandLine.h"

namespace msi {

namespace {

bool isBlank(wchar_t c) { return c == L' ' || c == L'\t'; }

bool isAsciiLetter(wchar_t c) { return (c >= L'a' && c <= L'z') || (c >= L'A' && c <= L'Z'); }

// The content of `element` read by the C runtime's rules, when the double quote that opens it is closed by
// its last character: backslashes count only before a double quote, where each pair gives one backslash and
// an odd one makes the quote literal. False for any other element.
bool unquoteWhole(const tstring& element, tstring& content) {
    if (element.size() < 2 || element.front() != L'"') {
        return false;
    }
    content.clear();
    size_t i = 1;
    while (i < element.size()) {
        size_t backslashes = 0;
        while (i < element.size() && element[i] == L'\\') {
            ++backslashes;
            ++i;
        }
        if (i == element.size()) {
            return false;
        }
        if (element[i] != L'"') {
            content.append(backslashes, L'\\');
            content += element[i++];
            continue;
        }
        content.append(backslashes / 2, L'\\');
        if (backslashes % 2 == 1) {
            content += element[i++];
            continue;
        }
        return i + 1 == element.size();
    }
    return false;
}

// NAME="value" for an element quoted as a whole that reads NAME=value; any other element as it is.
tstring forwardedElement(const tstring& element) {
    tstring content;
    if (!unquoteWhole(element, content)) {
        return element;
    }
    const size_t equals = content.find(L'=');
    if (equals == tstring::npos || !isPropertyName(content.substr(0, equals))) {
        return element;
    }
    return content.substr(0, equals + 1) + L'"' + tstrings::replaceAll(content.substr(equals + 1), L"\"", L"\"\"") +
           L'"';
}

} // namespace

bool isPropertyName(const tstring& name) {
    if (name.empty() || !(isAsciiLetter(name[0]) || name[0] == L'_')) {
        return false;
    }
    for (const wchar_t c : name) {
        if (!(isAsciiLetter(c) || (c >= L'0' && c <= L'9') || c == L'_' || c == L'.')) {
            return false;
        }
    }
    return true;
}

tstring forwardedArgumentText(const tstring& argumentText) {
    tstring result;
    result.reserve(argumentText.size());
    size_t i = 0;
    while (i < argumentText.size()) {
        if (isBlank(argumentText[i])) {
            result += argumentText[i++];
            continue;
        }
        const size_t start = i;
        bool quoted = false;
        while (i < argumentText.size() && (quoted || !isBlank(argumentText[i]))) {
            if (argumentText[i] == L'"') {
                quoted = !quoted;
            }
            ++i;
        }
        result += forwardedElement(argumentText.substr(start, i - start));
    }
    return result;
}

} // namespace msi
