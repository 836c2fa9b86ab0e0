// The output sequence of both systems: a temporary file beside the destination, written, flushed, moved into place.
#include "OutputFile.h"

#include "PackError.h"
#include "TemporaryName.h"

#include <utility>

namespace pack::platform {

namespace {

constexpr int kTemporaryNameAttempts = 100;

// Raises Error("<failure>: <reason>") when a system call gave a reason, that is, failed.
void require(const std::string& reason, const std::string& failure) {
    if (!reason.empty()) {
        throw Error(failure + ": " + reason);
    }
}

std::string cannotWrite(const std::string& destination) { return "Cannot write " + quoted(destination); }

// Holds interruptions back while it lives.
class HeldInterrupts {
public:
    HeldInterrupts() { output::holdInterrupts(); }
    ~HeldInterrupts() { output::releaseInterrupts(); }
    HeldInterrupts(const HeldInterrupts&) = delete;
    HeldInterrupts& operator=(const HeldInterrupts&) = delete;
};

} // namespace

OutputFile::OutputFile(const std::string& destination, OutputUse use) : destination_(destination) {
    const std::string directory = parentOf(destination);
    for (int attempt = 0; !file_; ++attempt) {
        std::string candidate =
            joinPath(directory, temporaryFileName(output::processId(), output::clockTicks(), attempt));
        bool taken = false;
        const HeldInterrupts held;
        const std::string reason = output::createExclusive(candidate, use, &file_, &taken);
        if (file_) {
            // A move cannot fail: the file has its owner before anything else is tried.
            temporary_.path = std::move(candidate);
            output::removeOnInterrupt(temporary_.path);
        } else if (!taken || attempt + 1 == kTemporaryNameAttempts) {
            require(reason, "Cannot create a temporary file in " + quoted(directory));
        }
    }
}

OutputFile::Temporary::~Temporary() {
    if (!path.empty()) {
        const HeldInterrupts held;
        output::removeFile(path);
        output::removeOnInterrupt(std::string());
    }
}

OutputFile::~OutputFile() = default;

void OutputFile::write(ByteView bytes) {
    require(output::write(*file_, bytes), cannotWrite(destination_));
}

void OutputFile::writeAt(uint64_t offset, ByteView bytes) {
    require(output::writeAt(*file_, offset, bytes), cannotWrite(destination_));
}

// The data reach the disk before the name does, so that after a crash the destination is the old file or the
// whole new one, never a file of the new name and no content.
void OutputFile::commit() {
    require(output::flushToDisk(*file_), cannotWrite(destination_));
    require(output::close(std::move(file_)), cannotWrite(destination_));
    {
        const HeldInterrupts held;
        require(output::replaceBy(destination_, temporary_.path),
                "Cannot move " + quoted(temporary_.path) + " to " + quoted(destination_));
        output::removeOnInterrupt(std::string());
        temporary_.path.clear();
    }
    // The destination is the new file now: failing here would report a pack that did happen as one that did not.
    const std::string directory = parentOf(destination_);
    const std::string reason = output::flushDirectory(directory);
    if (!reason.empty()) {
        writeLine(Stream::Err, "kestrel-pack: warning: wrote " + quoted(destination_) + ", but cannot flush " +
                                   quoted(directory) + " to disk, so a power loss may undo it: " + reason);
    }
}

} // namespace pack::platform
