// Path strings: splitting, joining and trimming Windows paths without touching the file system.
#include "FileUtils.h"

namespace FileUtils {

bool isDirSeparator(wchar_t c) { return c == L'\\' || c == L'/'; }

tstring removeTrailingSlash(const tstring& path) {
    size_t end = path.size();
    while (end > 0 && isDirSeparator(path[end - 1])) {
        --end;
    }
    return path.substr(0, end);
}

tstring combinePath(const tstring& first, const tstring& second) {
    if (first.empty()) {
        return second;
    }
    if (second.empty()) {
        return first;
    }
    const size_t skip = isDirSeparator(second[0]) ? 1 : 0;
    return removeTrailingSlash(first) + L'\\' + second.substr(skip);
}

tstring basename(const tstring& path) {
    const size_t separator = path.find_last_of(L"\\/");
    return separator == tstring::npos ? path : path.substr(separator + 1);
}

tstring dirname(const tstring& path) {
    // A trailing "\." names the directory before it.
    const bool endsInDot = tstrings::hasSuffix(path, L"\\.") || tstrings::hasSuffix(path, L"/.");
    const tstring searched = endsInDot ? path.substr(0, path.size() - 2) : path;
    const size_t separator = searched.find_last_of(L"\\/");
    if (separator == tstring::npos) {
        return tstring();
    }
    const size_t last = path.find_last_not_of(L"\\/", separator);
    if (last == tstring::npos) {
        return tstring();
    }
    return path.substr(0, last + 1);
}

PathBuilder& PathBuilder::operator<<(const tstring& part) {
    path_ = combinePath(path_, part);
    return *this;
}

} // namespace FileUtils
