// Windows text: the UTF-16 of the system's wide calls to and from the packer's UTF-8.
#pragma once

#include "text/Utf.h"

#include <string>

namespace pack::platform {

static_assert(sizeof(wchar_t) == sizeof(char16_t), "Windows wide text is UTF-16");

inline std::wstring widen(const std::string& utf8) {
    const std::u16string text = toUtf16(utf8);
    return std::wstring(text.begin(), text.end());
}

inline std::string narrow(const std::wstring& wide) { return toUtf8(std::u16string(wide.begin(), wide.end())); }

} // namespace pack::platform
