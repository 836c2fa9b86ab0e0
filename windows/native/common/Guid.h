// Product codes: a GUID value parsed from its braced, unbraced, dashed or undashed text and formatted as braced text.
#pragma once

#include "tstrings.h"

#include <windows.h>

#include <string>

class Guid {
public:
    // Flags of toString, applied in this order.
    enum GuidFormat { NoBraces = 1, NoDashes = 2, LowerCase = 4 };

    // The all-zero GUID.
    Guid();

    // Every byte becomes one character, so the text of a resource is parsed exactly as stored.
    explicit Guid(const std::string& text);

    // Accepts {XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}, the same without braces, without dashes, or without
    // both, in either case; raises an error for anything else.
    explicit Guid(const tstring& text);

    // {XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX} in upper case, changed by a combination of GuidFormat flags.
    tstring toString(int format = 0) const;

    const GUID& value() const { return value_; }

    friend bool operator==(const Guid& a, const Guid& b) { return a.value_ == b.value_; }
    friend bool operator!=(const Guid& a, const Guid& b) { return !(a == b); }

private:
    GUID value_;
};
