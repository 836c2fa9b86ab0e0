// The package read in a child: platform::readProperties and readIconRow re-run the packer as the reading child,
// which reads with msi.dll and may crash without taking the packer along or calling up a dialog or a debugger.
#include "PackageReader.h"

#include "io/ReaderProtocol.h"
#include "ChildProcess.h"
#include "cli/Command.h"
#include "MsiReader.h"
#include "PackError.h"
#include "io/Platform.h"

#include <windows.h>

#include <algorithm>

namespace pack::platform {

namespace {

// The child's complete answer; a child that crashed, hung, wrote too much or failed counts as a damaged package.
std::string askReader(const std::vector<std::string>& request, const std::string& packagePath) {
    const ChildResult result = runChild(ownProgramPath(), request, std::chrono::seconds(reader::kTimeLimitSeconds),
                                        reader::kMaxAnswerSize);
    if (result.end != ChildResult::End::Exited || result.exitCode != kExitSuccess) {
        throw Error(reader::damagedMessage(packagePath));
    }
    return result.output;
}

// The last word on an exception nothing handled: the process ends with its code. The system would otherwise start
// the debugger registered for crashes (Wine's does so whatever the error mode) and wait for it.
LONG WINAPI endWithException(EXCEPTION_POINTERS* exception) {
    TerminateProcess(GetCurrentProcess(), exception->ExceptionRecord->ExceptionCode);
    return EXCEPTION_EXECUTE_HANDLER;
}

// No error box for a crash, a missing disk or a file that will not open, and no debugger.
void keepFailuresQuiet() {
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX | SEM_NOOPENFILEERRORBOX);
    SetUnhandledExceptionFilter(endWithException);
}

bool writeAll(const std::string& bytes) {
    const HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE);
    for (size_t done = 0; done < bytes.size();) {
        DWORD written = 0;
        const DWORD piece = static_cast<DWORD>(std::min<size_t>(bytes.size() - done, 1 << 20));
        if (!WriteFile(output, bytes.data() + done, piece, &written, nullptr)) {
            return false;
        }
        done += written;
    }
    return true;
}

} // namespace

std::map<std::string, std::string> readProperties(const std::string& packagePath) {
    return reader::propertiesFromAnswer(askReader(reader::propertiesRequest(packagePath), packagePath), packagePath);
}

std::optional<std::vector<uint8_t>> readIconRow(const std::string& packagePath, const std::string& name) {
    return reader::iconRowFromAnswer(askReader(reader::iconRowRequest(packagePath, name), packagePath), packagePath);
}

int runPackageReader(const std::vector<std::string>& arguments) {
    keepFailuresQuiet();
    const std::string fault = reader::requestedFault();
    if (fault == "crash") {
        RaiseException(static_cast<DWORD>(EXCEPTION_ACCESS_VIOLATION), EXCEPTION_NONCONTINUABLE, 0, nullptr);
    }
    while (fault == "hang") {
        Sleep(INFINITE);
    }
    const std::string answer = fault == "garble" ? reader::garbledAnswer()
                                                 : reader::answerRequest(arguments, {msidll::readProperties,
                                                                                     msidll::readIconRow});
    if (answer.empty()) {
        return kExitUsage;
    }
    return writeAll(answer) ? kExitSuccess : kExitFailure;
}

} // namespace pack::platform
