// Helpers for the end-to-end tests: run the converter as a child process
// in a chosen directory, watch it while it runs, judge how it ended, and
// inspect the files it leaves behind in a throw-away directory.
#pragma once

#include <sys/types.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "expected_data_file.h"
#include "messages.h"

namespace e2e {

// The converter under test.
inline constexpr const char* kProgram = DATMOS_CONVERT;

using datmos::kOpened;
using datmos::kOpenFailed;
// The data files to expect.
using datmos::test::dataFileWith;
using datmos::test::kEarlierDataFile;
using datmos::test::kWorkedDataFile;
using datmos::test::kWorkedList;
using datmos::test::repeated;
using datmos::test::threePeopleWith;

// Names of directory entries.
using Names = std::vector<std::string>;

enum class StandardOutput {
    Captured,    // a pipe that the test reads to the end
    Closed,      // descriptor 1 closed in the child
    BrokenPipe,  // a pipe whose read end is already closed
};

inline void PrintTo(StandardOutput standardOutput, std::ostream* out) {
    *out << (standardOutput == StandardOutput::Captured ? "captured"
             : standardOutput == StandardOutput::Closed ? "closed"
                                                         : "broken pipe");
}

struct RunOptions {
    // The program to start: the converter under test, or a copy of it.
    std::string program = kProgram;
    std::filesystem::path workingDirectory = ".";
    std::vector<std::string> arguments;  // after the program name
    // Resource limits of the child, where given: RLIMIT_FSIZE in bytes
    // (SIGXFSZ is not ignored: a program that does not ignore it dies of a
    // write past the limit), RLIMIT_AS in bytes, RLIMIT_NOFILE.
    std::optional<unsigned long long> fileSizeLimit;
    std::optional<unsigned long long> addressSpaceLimit;
    std::optional<unsigned long long> openFilesLimit;
    StandardOutput standardOutput = StandardOutput::Captured;
    // Run as this user and group (needs privileges), e.g. to meet
    // permission checks that root would pass.
    std::optional<uid_t> user;
    // Entries ("NAME=value") added to the environment the child inherits.
    std::vector<std::string> environment;
};

struct RunResult {
    std::string standardOutput;
    std::string standardError;
    bool exited = false;  // ended through exit(): exitStatus is valid
    int exitStatus = -1;
    int signal = 0;  // the signal that ended it, when !exited
};

// A converter started in the background: the test may signal it midway,
// then collects what it printed and how it ended.
class RunningProgram {
public:
    explicit RunningProgram(const RunOptions& options);
    RunningProgram(const RunningProgram&) = delete;
    RunningProgram& operator=(const RunningProgram&) = delete;
    // Kills and reaps a child that the test did not wait for.
    ~RunningProgram();

    pid_t pid() const { return pid_; }
    void sendSignal(int signalNumber) const;
    // Reads standard output and error to their end and reaps the child.
    RunResult wait();

private:
    pid_t pid_ = -1;
    int outFd_ = -1;
    int errFd_ = -1;
    bool reaped_ = false;
};

// Runs the converter to its end.
RunResult runProgram(const RunOptions& options);

class TempDir;
// Copies the converter into `directory`, and makes both reachable by every
// user, wherever the build tree lies; returns the program to start.
std::string copyForEveryUser(const TempDir& directory);
// Options to run the converter in `directory` with these arguments.
RunOptions in(const TempDir& directory, std::vector<std::string> arguments);
// Runs the converter to its end in `directory` with these arguments.
RunResult convertIn(const TempDir& directory, std::vector<std::string> arguments);

// The converter ended through exit() with status 1 (its status after a
// success as after a failure), `message` on standard output and nothing on
// standard error.
void expectOutcome(const RunResult& result, std::string_view message);
// The outcome of a successful run.
inline void expectSuccess(const RunResult& result) { expectOutcome(result, kOpened); }

// How the child ended, for assertion messages.
std::string describe(const RunResult& result);

// A fresh directory under /tmp, removed with everything in it (whatever
// its permission bits) when the object goes away.
class TempDir {
public:
    TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    ~TempDir();

    const std::filesystem::path& path() const { return path_; }
    std::filesystem::path operator/(const std::filesystem::path& relative) const { return path_ / relative; }

private:
    std::filesystem::path path_;
};

// The names in a directory (not "." or ".."), sorted, hidden ones included.
std::vector<std::string> listDirectory(const std::filesystem::path& directory);

void writeFile(const std::filesystem::path& path, std::string_view content);
// The whole content of a file; throws when it can't be read.
std::string readFile(const std::filesystem::path& path);

// Byte-for-byte equality that, unlike EXPECT_EQ on long multi-line
// strings, reports only the first difference (line, offset and the bytes
// around it) and never builds a line diff of megabytes.
testing::AssertionResult sameBytes(const std::string& actual, const std::string& expected);

// The writing end of a named pipe, opened once a reader has opened the
// other end, so that a test can feed a running converter piece by piece.
class PipeWriter {
public:
    // Fails the test (and stays closed) if no reader comes within a minute.
    explicit PipeWriter(const std::filesystem::path& fifo);
    PipeWriter(const PipeWriter&) = delete;
    PipeWriter& operator=(const PipeWriter&) = delete;
    ~PipeWriter();

    bool isOpen() const { return fd_ >= 0; }
    // Writes everything, blocking while the reader catches up. False when
    // the reader went away.
    bool write(std::string_view data);
    void close();

private:
    int fd_ = -1;
};

// Blocks until the running child holds open a regular file inside
// `directory` with more than `bytes` bytes in it (its data file being
// written, named or not). False if the child ended first.
bool waitForOutputInProgress(pid_t pid, const std::filesystem::path& directory, long long bytes);

}  // namespace e2e
