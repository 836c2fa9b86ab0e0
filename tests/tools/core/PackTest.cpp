// Support for the native packer tests: scratch directories, whole files, and the packer run as a child.
#include "PackTest.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace packtest {

ScratchDir::ScratchDir() {
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/kr-pack-core-XXXXXX";
    if (!mkdtemp(&pattern[0])) {
        throw std::runtime_error("mkdtemp failed for " + pattern);
    }
    // As the system names it, links resolved, so that it compares with the paths the packer reports.
    char* real = realpath(pattern.c_str(), nullptr);
    path_ = real ? real : pattern;
    std::free(real);
}

ScratchDir::~ScratchDir() {
    const std::string command = "rm -rf '" + path_ + "'";
    if (std::system(command.c_str()) != 0) {
        std::fprintf(stderr, "could not remove %s\n", path_.c_str());
    }
}

std::vector<std::string> ScratchDir::list() const {
    std::vector<std::string> names;
    DIR* dir = opendir(path_.c_str());
    while (dir) {
        const dirent* entry = readdir(dir);
        if (!entry) {
            break;
        }
        const std::string name = entry->d_name;
        if (name != "." && name != "..") {
            names.push_back(name);
        }
    }
    if (dir) {
        closedir(dir);
    }
    std::sort(names.begin(), names.end());
    return names;
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        throw std::runtime_error("cannot read " + path);
    }
    std::ostringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
}

void writeFile(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << bytes;
    if (!out) {
        throw std::runtime_error("cannot write " + path);
    }
}

namespace {

// The program started with its standard output and error in the files named.
pid_t start(const std::string& program, const std::vector<std::string>& args, const RunOptions& options,
            const std::string& outPath, const std::string& errPath) {
    const pid_t child = fork();
    if (child < 0) {
        throw std::runtime_error("fork failed");
    }
    if (child == 0) {
        const int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        const int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        dup2(out, 1);
        dup2(err, 2);
        for (const std::string& setting : options.environment) {
            putenv(const_cast<char*>(setting.c_str()));
        }
        if (options.fileSizeLimit >= 0) {
            const rlimit limit{static_cast<rlim_t>(options.fileSizeLimit), static_cast<rlim_t>(options.fileSizeLimit)};
            setrlimit(RLIMIT_FSIZE, &limit);
        }
        std::vector<char*> argv{const_cast<char*>(program.c_str())};
        for (const std::string& arg : args) {
            argv.push_back(const_cast<char*>(arg.c_str()));
        }
        argv.push_back(nullptr);
        execvp(program.c_str(), argv.data());
        _exit(127);
    }
    return child;
}

RunResult finish(int status, const std::string& outPath, const std::string& errPath) {
    RunResult result;
    result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    result.signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
    result.out = readFile(outPath);
    result.err = readFile(errPath);
    return result;
}

} // namespace

RunResult run(const std::string& program, const std::vector<std::string>& args, const RunOptions& options) {
    const ScratchDir captures;
    const pid_t child = start(program, args, options, captures.file("out"), captures.file("err"));
    int status = 0;
    waitpid(child, &status, 0);
    return finish(status, captures.file("out"), captures.file("err"));
}

RunResult runInterrupted(const std::string& program, const std::vector<std::string>& args,
                         const std::function<bool()>& ready, int signal) {
    const ScratchDir captures;
    const pid_t child = start(program, args, {}, captures.file("out"), captures.file("err"));
    int status = 0;
    bool sent = false;
    while (waitpid(child, &status, sent ? 0 : WNOHANG) == 0) {
        if (ready()) {
            kill(child, signal);
            sent = true;
        } else {
            usleep(1000);
        }
    }
    return finish(status, captures.file("out"), captures.file("err"));
}

} // namespace packtest
