// What the packer needs of the system it runs on. tools/posix and tools/windows each provide all of it; paths
// and texts are UTF-8 on both, and every failure raises Error with a message that names the file.
#pragma once

#include "Bytes.h"

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

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

// A file written beside its destination under a temporary name and moved into place by commit(): a failure
// before then leaves the destination as it was, and the temporary file is removed.
class OutputFile : public ByteSink {
public:
    explicit OutputFile(const std::string& destination);
    ~OutputFile() override;
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    void write(ByteView bytes) override;
    void writeAt(uint64_t offset, ByteView bytes) override;
    void commit();

private:
    struct State;
    std::unique_ptr<State> state_;
};

// The Property table of an installer package, by property name; empty when the package has no such table.
// Raises Error when the file is no installer package.
std::map<std::string, std::string> readProperties(const std::string& packagePath);

// The Data stream of the Icon table's row `name` in an installer package; absent when the package has no such
// table or row. Raises Error when the file is no installer package or the row cannot be read.
std::optional<std::vector<uint8_t>> readIconRow(const std::string& packagePath, const std::string& name);

enum class Stream { Out, Err };

// One line of text and its line end.
void writeLine(Stream stream, const std::string& text);

} // namespace pack::platform
