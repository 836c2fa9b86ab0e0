// What the packer needs of the system it runs on: tools/posix and tools/windows each provide all of it.
#pragma once

#include "bytes/Bytes.h"

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

// Paths and texts are UTF-8 on both, and every failure raises Error with a message that names the file.
namespace pack::platform {

enum class FileKind { Missing, File, Directory, Other };

FileKind kindOf(const std::string& path);
// The path made absolute against the current directory.
std::string absolutePath(const std::string& path);
// The directory part of an absolute path; the root is its own parent.
std::string parentOf(const std::string& path);
// The last part of a path.
std::string fileNameOf(const std::string& path);
std::string joinPath(const std::string& directory, const std::string& name);
// True when both paths name one existing file, through whatever links.
bool isSameFile(const std::string& first, const std::string& second);

// A file to read: mapped, or read a piece at a time, so that it is never held in memory whole. While it is
// open, others may read it but not change it where the system allows such a lock.
std::unique_ptr<ByteSource> openInput(const std::string& path);

// What an output is for: a program is created executable, as linkers create theirs (on POSIX systems mode 0777
// less the umask), data readable and writable (0666 less the umask). Windows has no such bits.
enum class OutputUse { Data, Program };

// The layer's open file, closed quietly by its owner (the system's error code is kept).
struct SystemFile;
struct SystemFileCloser {
    void operator()(SystemFile* file) const;
};
using SystemFileHandle = std::unique_ptr<SystemFile, SystemFileCloser>;

// The system calls of OutputFile, one layer's each. A call that fails returns the system's reason, and one that
// succeeds an empty text.
namespace output {

// The file, created only where no file has the name; `taken` tells whether the name was the obstacle.
std::string createExclusive(const std::string& path, OutputUse use, SystemFileHandle* file, bool* taken);
std::string write(SystemFile& file, ByteView bytes);
std::string writeAt(SystemFile& file, uint64_t offset, ByteView bytes);
// Returns once the file's data are on the disk.
std::string flushToDisk(SystemFile& file);
// Closes and reports the result, which for some file systems is the first news of a failed write.
std::string close(SystemFileHandle file);
// Puts `temporary` in the place of `destination` in one step, whatever was there.
std::string replaceBy(const std::string& destination, const std::string& temporary);
// Returns once the directory's entries, a move into it included, are on the disk.
std::string flushDirectory(const std::string& directory);
// Removes quietly, keeping the system's error code.
void removeFile(const std::string& path);
// Numbers for temporary names: this process, and a clock fine enough to differ between attempts.
uint64_t processId();
uint64_t clockTicks();

// An interruption that ends the program (see removeOutputsOnInterrupt) removes this file first; empty: none.
void removeOnInterrupt(const std::string& path);
// From holdInterrupts to releaseInterrupts an interruption waits, so that a file and the record of it for
// removeOnInterrupt change as one step. Holds nest; only the thread that writes the outputs takes them.
void holdInterrupts();
void releaseInterrupts();

} // namespace output

// From now on a signal to end the program (SIGINT, SIGTERM, SIGHUP) or a console's control event removes the
// temporary file of the output being written before the program ends as the interruption would end it.
void removeOutputsOnInterrupt();

// Both read the package in a child process, so that a library that crashes or hangs on a damaged package cannot
// take the packer with it; such a child, or one that answers nonsense, raises Error saying the package is damaged.

// The Property table of an installer package, by property name; empty when the package has no such table.
// Raises Error when the file is no installer package.
std::map<std::string, std::string> readProperties(const std::string& packagePath);

// The Data stream of the Icon table's row `name` in an installer package; absent when the package has no such
// table or row. Raises Error when the file is no installer package or the row cannot be read or holds more than
// 16 MiB, which no icon does.
std::optional<std::vector<uint8_t>> readIconRow(const std::string& packagePath, const std::string& name);

enum class Stream { Out, Err };

// Writes one line of text and its line end, flushed. Returns the system's reason when the line could not be
// written whole (a full disk, a closed stream, a pipe nobody reads), else an empty text: a report lost on standard
// output makes the command fail, while a line lost on standard error has nowhere left to be told.
std::string writeLine(Stream stream, const std::string& text);

} // namespace pack::platform
