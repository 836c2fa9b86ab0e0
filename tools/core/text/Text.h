// Text read from a file, made safe to show in a terminal or in JSON: control and reordering characters escaped,
// long texts cut.
#pragma once

#include <cstddef>
#include <string>

namespace pack {

// An unsafe character is one that must not reach a terminal or a log as it is: the C0 and C1 controls, DEL, the
// line and paragraph separators, and the marks, embeddings and isolates that reorder the text around them.

// `text` (UTF-8) with every unsafe character written as "\xNN" (below 0x80) or "\uNNNN" in upper case, a
// backslash as "\\", and every sequence that is not UTF-8 as U+FFFD.
std::string printable(const std::string& text);

// `text` (UTF-8) as a JSON string, valid whatever the text: quoted, '"' and '\' after a backslash, every unsafe
// character as "\uNNNN" in lower case, and every sequence that is not UTF-8 as U+FFFD.
std::string jsonString(const std::string& text);

// The first `maxCharacters` characters of `text` (UTF-8), and "…" after them when there were more.
std::string shortened(const std::string& text, size_t maxCharacters);

} // namespace pack
