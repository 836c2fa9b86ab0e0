// The installer program's command-line syntax: property names, and the launcher's arguments as it forwards them.
#pragma once

#include "tstrings.h"

namespace msi {

// A property name as the installer program takes it from its command line: a letter or underscore, then
// letters, digits, underscores or periods ("INSTALLDIR", "_Flag", "A.B2").
bool isPropertyName(const tstring& name);

// The launcher's argument text as the installer program receives it: unchanged, except that an element
// quoted as a whole that reads NAME=value ("INSTALLDIR=C:\Some Dir", as programs that start setup.exe from a
// list of arguments write it, and which the installer program rejects) becomes NAME="value", with the value
// read by the C runtime's rules and each double quote in it doubled. Elements are split as the installer
// program splits them: blanks and tabs outside double quotes separate them, and a backslash is an ordinary
// character. Every blank between elements is kept.
tstring forwardedArgumentText(const tstring& argumentText);

} // namespace msi
