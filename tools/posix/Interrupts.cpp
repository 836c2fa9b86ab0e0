// A signal that ends the packer removes the temporary file of its output first, then ends it as it would have.
#include "io/Platform.h"

#include <climits>
#include <csignal>
#include <cstring>
#include <pthread.h>
#include <unistd.h>

namespace pack::platform {

namespace {

constexpr int kEndingSignals[] = {SIGINT, SIGTERM, SIGHUP};

// Written only while the signals are held back, read only by the handler: the path and whether it is set. The
// system refuses longer paths, so no file of one is ever created.
char pendingPath[PATH_MAX];
volatile sig_atomic_t pathIsSet = 0;

// Holds by the packer's own thread: how many are open, and the mask the outermost found.
unsigned heldDepth = 0;
sigset_t savedMask;

sigset_t endingSignals() {
    sigset_t set;
    sigemptyset(&set);
    for (const int number : kEndingSignals) {
        sigaddset(&set, number);
    }
    return set;
}

// Async-signal-safe: unlink, then the signal again, now with its default action (SA_RESETHAND restored it on
// entry), which ends the program at the latest when the handler returns.
extern "C" void removePendingAndEnd(int number) {
    if (pathIsSet) {
        ::unlink(pendingPath);
    }
    ::raise(number);
}

} // namespace

namespace output {

void removeOnInterrupt(const std::string& path) {
    pathIsSet = 0;
    if (!path.empty() && path.size() < sizeof pendingPath) {
        std::memcpy(pendingPath, path.c_str(), path.size() + 1);
        pathIsSet = 1;
    }
}

void holdInterrupts() {
    if (heldDepth++ == 0) {
        const sigset_t set = endingSignals();
        pthread_sigmask(SIG_BLOCK, &set, &savedMask);
    }
}

void releaseInterrupts() {
    if (--heldDepth == 0) {
        pthread_sigmask(SIG_SETMASK, &savedMask, nullptr);
    }
}

} // namespace output

void removeOutputsOnInterrupt() {
    struct sigaction action = {};
    action.sa_handler = removePendingAndEnd;
    action.sa_mask = endingSignals();
    action.sa_flags = SA_RESETHAND;
    for (const int number : kEndingSignals) {
        struct sigaction previous = {};
        sigaction(number, nullptr, &previous);
        // A signal the caller chose to ignore, as nohup does with SIGHUP, stays ignored.
        if (previous.sa_handler != SIG_IGN) {
            sigaction(number, &action, nullptr);
        }
    }
}

} // namespace pack::platform
