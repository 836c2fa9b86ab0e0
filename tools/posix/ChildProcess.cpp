// Running a child with a time limit and a bound on its output, over fork, exec, poll and waitpid.
#include "ChildProcess.h"

#include "FileDescriptor.h"
#include "PackError.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#ifdef __linux__
#include <sys/prctl.h>
#endif

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <optional>
#include <thread>

namespace pack::platform {

namespace {

using Clock = std::chrono::steady_clock;

[[noreturn]] void cannotStart(const std::string& program, int code) {
    throw Error("Cannot start " + quoted(program) + ": " + std::strerror(code));
}

// `fd` closed on exec and moved above the standard descriptors, so that putting the child's standard streams in
// place never overwrites another of its descriptors.
void keepAboveStandardStreams(FileDescriptor& fd, const std::string& program) {
    if (fd.get() < 0 || ::fcntl(fd.get(), F_SETFD, FD_CLOEXEC) != 0) {
        cannotStart(program, errno);
    }
    if (fd.get() <= STDERR_FILENO) {
        const int moved = ::fcntl(fd.get(), F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
        if (moved < 0) {
            cannotStart(program, errno);
        }
        fd.reset(moved);
    }
}

struct Pipe {
    explicit Pipe(const std::string& program) {
        int ends[2];
        if (::pipe(ends) != 0) {
            cannotStart(program, errno);
        }
        read.reset(ends[0]);
        write.reset(ends[1]);
        keepAboveStandardStreams(read, program);
        keepAboveStandardStreams(write, program);
    }
    FileDescriptor read{-1};
    FileDescriptor write{-1};
};

// The started child until it is waited for; one that is still running when its owner goes is killed first.
class Child {
public:
    explicit Child(pid_t pid) : pid_(pid) {}
    ~Child() {
        if (pid_ > 0) {
            kill();
        }
    }
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    // Its wait status once it has ended; nothing while it runs.
    std::optional<int> ended() {
        int status = 0;
        pid_t found;
        do {
            found = ::waitpid(pid_, &status, WNOHANG);
        } while (found < 0 && errno == EINTR);
        if (found != pid_) {
            return std::nullopt;
        }
        pid_ = -1;
        return status;
    }

    int kill() {
        ::kill(pid_, SIGKILL);
        return wait();
    }

    int wait() {
        int status = 0;
        while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
        }
        pid_ = -1;
        return status;
    }

private:
    pid_t pid_;
};

// Between fork and exec: only async-signal-safe calls. The child starts with every signal at its default action
// and none blocked, its standard streams in place, no core dump, and (on Linux) the order to die with the packer.
[[noreturn]] void becomeChild(const char* program, char* const* argv, pid_t parent, int input, int output, int errors,
                              int failure) {
    struct sigaction defaults = {};
    defaults.sa_handler = SIG_DFL;
    for (int number = 1; number < NSIG; ++number) {
        ::sigaction(number, &defaults, nullptr);
    }
#ifdef __linux__
    // The packer may have died before the order was given; then the child has no one to answer.
    if (::prctl(PR_SET_PDEATHSIG, SIGKILL) != 0 || ::getppid() != parent) {
        ::_exit(127);
    }
#else
    (void)parent;
#endif
    const struct rlimit noCore = {0, 0};
    ::setrlimit(RLIMIT_CORE, &noCore);
    if (::dup2(input, STDIN_FILENO) < 0 || ::dup2(output, STDOUT_FILENO) < 0 || ::dup2(errors, STDERR_FILENO) < 0) {
        const int code = errno;
        (void)!::write(failure, &code, sizeof code);
        ::_exit(127);
    }
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    ::execv(program, argv);
    const int code = errno;
    (void)!::write(failure, &code, sizeof code);
    ::_exit(127);
}

} // namespace

ChildResult runChild(const std::string& program, const std::vector<std::string>& arguments,
                     std::chrono::milliseconds timeLimit, size_t outputLimit) {
    const Clock::time_point deadline = Clock::now() + timeLimit;
    std::vector<std::string> texts{program};
    texts.insert(texts.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (std::string& text : texts) {
        argv.push_back(text.data());
    }
    argv.push_back(nullptr);

    FileDescriptor input(::open("/dev/null", O_RDONLY | O_CLOEXEC));
    keepAboveStandardStreams(input, program);
    Pipe output(program);
    Pipe errors(program);
    Pipe failure(program);
    const pid_t parent = ::getpid();
    // No signal handler of the packer's may run in the child before exec; the child resets them all.
    sigset_t all;
    sigset_t saved;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &saved);
    const pid_t pid = ::fork();
    const int forkError = errno;
    if (pid == 0) {
        becomeChild(program.c_str(), argv.data(), parent, input.get(), output.write.get(), errors.write.get(),
                    failure.write.get());
    }
    pthread_sigmask(SIG_SETMASK, &saved, nullptr);
    if (pid < 0) {
        cannotStart(program, forkError);
    }
    Child child(pid);
    output.write.close();
    errors.write.close();
    failure.write.close();

    // The failure pipe closes at exec, or brings the reason it failed.
    int execError = 0;
    ssize_t got;
    do {
        got = ::read(failure.read.get(), &execError, sizeof execError);
    } while (got < 0 && errno == EINTR);
    if (got == static_cast<ssize_t>(sizeof execError)) {
        child.wait();
        cannotStart(program, execError);
    }

    ChildResult result;
    std::optional<ChildResult::End> killedFor;
    pollfd streams[] = {{output.read.get(), POLLIN, 0}, {errors.read.get(), POLLIN, 0}};
    int open = 2;
    while (open > 0 && !killedFor) {
        const auto remaining = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
        if (remaining.count() <= 0) {
            killedFor = ChildResult::End::TimedOut;
            break;
        }
        const int ready = ::poll(streams, 2, static_cast<int>(std::min<long long>(remaining.count(), 60000)));
        if (ready < 0 && errno != EINTR) {
            cannotStart(program, errno);
        }
        for (pollfd& stream : streams) {
            if (ready <= 0 || stream.fd < 0 || stream.revents == 0) {
                continue;
            }
            char piece[65536];
            const ssize_t count = ::read(stream.fd, piece, sizeof piece);
            if (count < 0 && errno == EINTR) {
                continue;
            }
            if (count <= 0) {
                stream.fd = -1;
                --open;
            } else if (stream.fd == output.read.get()) {
                if (result.output.size() + static_cast<size_t>(count) > outputLimit) {
                    killedFor = ChildResult::End::OutputTooLong;
                    break;
                }
                result.output.append(piece, static_cast<size_t>(count));
            }
        }
    }
    // Both streams end as the child exits; it may still be on its way out.
    std::optional<int> status;
    std::chrono::microseconds pause(100);
    while (!killedFor && !(status = child.ended())) {
        if (Clock::now() >= deadline) {
            killedFor = ChildResult::End::TimedOut;
        } else {
            std::this_thread::sleep_for(pause);
            pause = std::min<std::chrono::microseconds>(pause * 2, std::chrono::milliseconds(10));
        }
    }
    if (killedFor) {
        child.kill();
        result.end = *killedFor;
        result.output.clear();
        return result;
    }
    if (WIFSIGNALED(*status)) {
        result.end = ChildResult::End::Signalled;
        result.status = WTERMSIG(*status);
#ifdef WCOREDUMP
        result.coreDumped = WCOREDUMP(*status);
#endif
    } else {
        result.status = WEXITSTATUS(*status);
    }
    return result;
}

} // namespace pack::platform
