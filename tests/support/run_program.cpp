#include "run_program.h"

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>
#include <utility>

namespace e2e {
namespace {

[[noreturn]] void fail(const std::string& what) {
    throw std::runtime_error(what + ": " + std::strerror(errno));
}

void closeIfOpen(int& fd) {
    if (fd >= 0) ::close(fd);
    fd = -1;
}

// In the forked child, before exec: only async-signal-safe calls. On any
// failure the errno goes up the report pipe and the child exits 127.
[[noreturn]] void childFailed(int reportFd) {
    const int error = errno;
    [[maybe_unused]] const ssize_t written = ::write(reportFd, &error, sizeof error);
    ::_exit(127);
}

// Whether the child has ended, without reaping it.
bool hasEnded(pid_t pid) {
    siginfo_t info{};
    if (::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) != 0) return true;
    return info.si_pid == pid;
}

}  // namespace

RunningProgram::RunningProgram(const RunOptions& options) {
    // Everything the child needs is prepared before the fork.
    const std::string directory = options.workingDirectory.string();
    std::vector<std::string> argumentText{options.program};
    argumentText.insert(argumentText.end(), options.arguments.begin(), options.arguments.end());
    std::vector<char*> argv;
    argv.reserve(argumentText.size() + 1);
    for (std::string& argument : argumentText) argv.push_back(argument.data());
    argv.push_back(nullptr);
    std::vector<std::string> environmentText = options.environment;
    std::vector<char*> envp;
    for (char** entry = environ; *entry != nullptr; ++entry) envp.push_back(*entry);
    for (std::string& entry : environmentText) envp.push_back(entry.data());
    envp.push_back(nullptr);

    int outPipe[2] = {-1, -1};
    int errPipe[2] = {-1, -1};
    int reportPipe[2] = {-1, -1};
    if (::pipe2(outPipe, O_CLOEXEC) != 0 || ::pipe2(errPipe, O_CLOEXEC) != 0 || ::pipe2(reportPipe, O_CLOEXEC) != 0) {
        fail("pipe2");
    }
    if (options.standardOutput == StandardOutput::BrokenPipe) closeIfOpen(outPipe[0]);
    const int devNull = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (devNull < 0) fail("open /dev/null");
    const std::pair<__rlimit_resource_t, std::optional<unsigned long long>> limits[] = {
        {RLIMIT_FSIZE, options.fileSizeLimit},
        {RLIMIT_AS, options.addressSpaceLimit},
        {RLIMIT_NOFILE, options.openFilesLimit}};

    pid_ = ::fork();
    if (pid_ < 0) fail("fork");
    if (pid_ == 0) {
        ::close(reportPipe[0]);
        sigset_t none;
        sigemptyset(&none);
        ::sigprocmask(SIG_SETMASK, &none, nullptr);
        for (const int signalNumber : {SIGPIPE, SIGINT, SIGTERM, SIGHUP, SIGXFSZ}) ::signal(signalNumber, SIG_DFL);
        if (::dup2(devNull, STDIN_FILENO) < 0) childFailed(reportPipe[1]);
        if (options.standardOutput == StandardOutput::Closed) {
            ::close(STDOUT_FILENO);
        } else if (::dup2(outPipe[1], STDOUT_FILENO) < 0) {
            childFailed(reportPipe[1]);
        }
        if (::dup2(errPipe[1], STDERR_FILENO) < 0) childFailed(reportPipe[1]);
        for (const auto& [resource, value] : limits) {
            if (!value) continue;
            const rlimit limit{static_cast<rlim_t>(*value), static_cast<rlim_t>(*value)};
            if (::setrlimit(resource, &limit) != 0) childFailed(reportPipe[1]);
        }
        if (options.user) {
            const gid_t group = static_cast<gid_t>(*options.user);
            if (::setgroups(0, nullptr) != 0 || ::setgid(group) != 0 || ::setuid(*options.user) != 0) {
                childFailed(reportPipe[1]);
            }
        }
        if (::chdir(directory.c_str()) != 0) childFailed(reportPipe[1]);
        // The program starts with standard input, output and error alone,
        // whatever the test runner left open, so that a limit on open files
        // means the same everywhere. Kernels before 5.11 leave them open.
        static_cast<void>(::close_range(3, ~0U, CLOSE_RANGE_CLOEXEC));
        ::execve(options.program.c_str(), argv.data(), envp.data());
        childFailed(reportPipe[1]);
    }

    ::close(devNull);
    ::close(reportPipe[1]);
    closeIfOpen(outPipe[1]);
    ::close(errPipe[1]);
    outFd_ = outPipe[0];
    errFd_ = errPipe[0];
    int childError = 0;
    ssize_t got;
    do {
        got = ::read(reportPipe[0], &childError, sizeof childError);
    } while (got < 0 && errno == EINTR);
    ::close(reportPipe[0]);
    if (got > 0) {
        wait();
        errno = childError;
        fail("starting " + options.program);
    }
}

RunningProgram::~RunningProgram() {
    if (!reaped_ && pid_ > 0) {
        ::kill(pid_, SIGKILL);
        int status = 0;
        ::waitpid(pid_, &status, 0);
    }
    closeIfOpen(outFd_);
    closeIfOpen(errFd_);
}

void RunningProgram::sendSignal(int signalNumber) const {
    if (::kill(pid_, signalNumber) != 0) fail("kill");
}

RunResult RunningProgram::wait() {
    RunResult result;
    // Both streams are drained together, so that a full pipe never stalls
    // the child.
    while (outFd_ >= 0 || errFd_ >= 0) {
        pollfd fds[2] = {{outFd_, POLLIN, 0}, {errFd_, POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR) continue;
            fail("poll");
        }
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0) continue;
            char buffer[4096];
            const ssize_t got = ::read(fds[i].fd, buffer, sizeof buffer);
            if (got > 0) {
                (i == 0 ? result.standardOutput : result.standardError).append(buffer, static_cast<std::size_t>(got));
            } else if (got == 0 || errno != EINTR) {
                closeIfOpen(i == 0 ? outFd_ : errFd_);
            }
        }
    }
    int status = 0;
    while (::waitpid(pid_, &status, 0) < 0) {
        if (errno != EINTR) fail("waitpid");
    }
    reaped_ = true;
    if (WIFEXITED(status)) {
        result.exited = true;
        result.exitStatus = WEXITSTATUS(status);
    } else if (WIFSIGNALED(status)) {
        result.signal = WTERMSIG(status);
    }
    return result;
}

RunResult runProgram(const RunOptions& options) { return RunningProgram(options).wait(); }

RunOptions in(const TempDir& directory, std::vector<std::string> arguments) {
    RunOptions options;
    options.workingDirectory = directory.path();
    options.arguments = std::move(arguments);
    return options;
}

RunResult convertIn(const TempDir& directory, std::vector<std::string> arguments) {
    return runProgram(in(directory, std::move(arguments)));
}

void expectOutcome(const RunResult& result, std::string_view message) {
    EXPECT_TRUE(result.exited) << describe(result);
    EXPECT_EQ(result.exitStatus, 1) << describe(result);
    EXPECT_EQ(result.standardOutput, message);
    EXPECT_EQ(result.standardError, "");
}

std::string describe(const RunResult& result) {
    std::ostringstream text;
    if (result.exited) {
        text << "exit status " << result.exitStatus;
    } else {
        text << "killed by signal " << result.signal << " (" << ::strsignal(result.signal) << ")";
    }
    text << ", stdout \"" << result.standardOutput << "\", stderr \"" << result.standardError << "\"";
    return text.str();
}

PipeWriter::PipeWriter(const std::filesystem::path& fifo) {
    // A writer that dies with its reader must not take the test with it.
    ::signal(SIGPIPE, SIG_IGN);
    // Opening without blocking fails with ENXIO until a reader is there;
    // polling keeps a converter that never opens the pipe from hanging the
    // test.
    const auto giveUp = std::chrono::steady_clock::now() + std::chrono::minutes(1);
    while (fd_ < 0) {
        fd_ = ::open(fifo.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
        if (fd_ >= 0) break;
        if (errno != ENXIO || std::chrono::steady_clock::now() > giveUp) {
            ADD_FAILURE() << "no reader opened " << fifo << ": " << std::strerror(errno);
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    const int flags = ::fcntl(fd_, F_GETFL);
    ::fcntl(fd_, F_SETFL, flags & ~O_NONBLOCK);
}

PipeWriter::~PipeWriter() { close(); }

bool PipeWriter::write(std::string_view data) {
    while (fd_ >= 0 && !data.empty()) {
        const ssize_t done = ::write(fd_, data.data(), data.size());
        if (done < 0 && errno == EINTR) continue;
        if (done <= 0) return false;
        data.remove_prefix(static_cast<std::size_t>(done));
    }
    return fd_ >= 0;
}

void PipeWriter::close() { closeIfOpen(fd_); }

bool waitForOutputInProgress(pid_t pid, const std::filesystem::path& directory, long long bytes) {
    const std::string prefix = std::filesystem::canonical(directory).string() + "/";
    const std::string fdDirectory = "/proc/" + std::to_string(pid) + "/fd";
    const auto giveUp = std::chrono::steady_clock::now() + std::chrono::minutes(1);
    while (!hasEnded(pid) && std::chrono::steady_clock::now() < giveUp) {
        std::error_code error;
        for (const auto& entry : std::filesystem::directory_iterator(fdDirectory, error)) {
            const std::string target = std::filesystem::read_symlink(entry.path(), error).string();
            if (error || target.rfind(prefix, 0) != 0) continue;
            struct stat status{};
            if (::stat(entry.path().c_str(), &status) != 0 || !S_ISREG(status.st_mode)) continue;
            // Only a file open for writing is the data file in the making.
            std::ifstream info("/proc/" + std::to_string(pid) + "/fdinfo/" + entry.path().filename().string());
            std::string key;
            std::string flags;
            while (info >> key >> flags && key != "flags:") {
            }
            if (key != "flags:" || (std::stoi(flags, nullptr, 8) & O_ACCMODE) == O_RDONLY) continue;
            if (status.st_size > bytes) return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return false;
}

}  // namespace e2e
