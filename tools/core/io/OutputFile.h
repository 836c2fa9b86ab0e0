// An output written whole or not at all: a temporary file beside it, flushed, then moved into its place.
#pragma once

#include "Platform.h"
#include "bytes/Bytes.h"

#include <string>

namespace pack::platform {

// A file written beside its destination under a temporary name, flushed to disk, moved into place by commit() and
// the move flushed too: a failure or an interruption before then leaves the destination as it was, and the
// temporary file is removed. The sequence is the same on every system, over the calls of platform::output.
class OutputFile : public ByteSink {
public:
    explicit OutputFile(const std::string& destination, OutputUse use = OutputUse::Data);
    ~OutputFile() override;
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    void write(ByteView bytes) override;
    void writeAt(uint64_t offset, ByteView bytes) override;
    // Raises Error, the destination as it was, when a step up to the move fails. Once the move is done the
    // destination is the new file, so a directory that cannot be flushed is a warning on standard error.
    void commit();

private:
    // The owner of the temporary file from the moment it exists until it is moved into place, even when the
    // constructor fails after creating it: removes the file named by `path` when it goes; empty: none.
    struct Temporary {
        Temporary() = default;
        ~Temporary();
        Temporary(const Temporary&) = delete;
        Temporary& operator=(const Temporary&) = delete;

        std::string path;
    };

    std::string destination_;
    Temporary temporary_;
    // Closed before the temporary file is removed, as members go in reverse order.
    SystemFileHandle file_;
};

} // namespace pack::platform
