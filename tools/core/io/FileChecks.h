// Checks of the files a command reads and writes, before it starts: each refusal names the file and the reason.
#pragma once

#include <initializer_list>
#include <string>

namespace pack {

// Raises Error unless `path` (absolute) is an existing file; `role` names it in the message ("package").
void requireInputFile(const std::string& path, const char* role);

// Raises Error unless `outputPath` (absolute) can be written by replacing it: its directory exists, it is no
// directory or special file, and it is none of `inputs` (absolute; an empty one stands for no file).
void requireReplaceableOutput(const std::string& outputPath, std::initializer_list<std::string> inputs);

} // namespace pack
