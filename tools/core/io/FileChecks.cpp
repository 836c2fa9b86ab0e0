// Checks of the files a command reads and writes, with the platform's file queries.
#include "FileChecks.h"

#include "PackError.h"
#include "Platform.h"

namespace pack {

void requireInputFile(const std::string& path, const char* role) {
    switch (platform::kindOf(path)) {
    case platform::FileKind::File:
        return;
    case platform::FileKind::Missing:
        throw Error(std::string("The ") + role + " " + quoted(path) + " does not exist");
    case platform::FileKind::Directory:
        throw Error(std::string("The ") + role + " " + quoted(path) + " is a directory");
    case platform::FileKind::Other:
        break;
    }
    throw Error(std::string("The ") + role + " " + quoted(path) + " is not a file");
}

void requireReplaceableOutput(const std::string& outputPath, std::initializer_list<std::string> inputs) {
    for (const std::string& input : inputs) {
        if (!input.empty() && platform::isSameFile(outputPath, input)) {
            throw Error("The output " + quoted(outputPath) + " would replace an input of the packer");
        }
    }
    const std::string outputDir = platform::parentOf(outputPath);
    if (platform::kindOf(outputDir) != platform::FileKind::Directory) {
        throw Error("The output directory " + quoted(outputDir) + " does not exist");
    }
    switch (platform::kindOf(outputPath)) {
    case platform::FileKind::Directory:
        throw Error("The output " + quoted(outputPath) + " is a directory");
    case platform::FileKind::Other:
        throw Error("The output " + quoted(outputPath) + " is not a file, so it is not replaced");
    default:
        break;
    }
}

} // namespace pack
