// The converter under adverse conditions: signals midway,
// concurrent runs on one data file, pipes and directories where files are
// expected, missing permissions, and a standard output that can't be
// written. Whatever happens, a data file is either written whole or left
// as it was, and no temporary file stays behind.
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <string>
#include <vector>

#include "run_program.h"

namespace e2e {
namespace {

namespace fs = std::filesystem;

mode_t modeOf(const fs::path& path) {
    struct stat status{};
    if (::lstat(path.c_str(), &status) != 0) return 0;
    return status.st_mode & 07777;
}

// The relation list is a named pipe fed by the test, so the signal lands
// while the data file is half written, whatever the machine's speed.
class Interrupted : public testing::TestWithParam<int> {};

TEST_P(Interrupted, LeavesEarlierDataFileAndNothingElse) {
    const int signalNumber = GetParam();
    TempDir directory;
    ASSERT_EQ(::mkfifo((directory / "g.txt").c_str(), 0600), 0);
    writeFile(directory / "g.txt.datmos", kEarlierDataFile);
    ASSERT_EQ(::chmod((directory / "g.txt.datmos").c_str(), 0640), 0);

    RunningProgram program(in(directory, {"g.txt"}));
    PipeWriter list(directory / "g.txt");
    ASSERT_TRUE(list.isOpen());
    // More than a megabyte of output, so part of it has reached the file.
    ASSERT_TRUE(list.write("3 1000000\n" + repeated(200000, "0 1 0.5\n")));
    ASSERT_TRUE(waitForOutputInProgress(program.pid(), directory.path(), 0));

    program.sendSignal(signalNumber);
    const RunResult result = program.wait();
    list.close();
    EXPECT_FALSE(result.exited) << describe(result);
    EXPECT_EQ(result.signal, signalNumber) << describe(result);
    EXPECT_NE(result.standardOutput, kOpened);
    EXPECT_EQ(readFile(directory / "g.txt.datmos"), kEarlierDataFile);
    EXPECT_EQ(modeOf(directory / "g.txt.datmos"), 0640u);
    EXPECT_EQ(listDirectory(directory.path()), (Names{"g.txt", "g.txt.datmos"}));
}

INSTANTIATE_TEST_SUITE_P(Faults, Interrupted, testing::Values(SIGKILL, SIGINT, SIGTERM, SIGHUP),
                         [](const testing::TestParamInfo<int>& info) { return std::string(sigabbrev_np(info.param)); });

// Two runs write the same data file at once (the second one's data file
// path is a link to the first one's): each run's file appears whole, and
// the run that finishes last decides the content.
TEST(Faults, TwoConversionsOfOneDataFileAtOnce) {
    TempDir directory;
    ASSERT_EQ(::mkfifo((directory / "a.txt").c_str(), 0600), 0);
    ASSERT_EQ(::mkfifo((directory / "b.txt").c_str(), 0600), 0);
    writeFile(directory / "a.txt.datmos", kEarlierDataFile);
    fs::create_symlink("a.txt.datmos", directory / "b.txt.datmos");
    constexpr int kCount = 150000;

    RunningProgram first(in(directory, {"a.txt"}));
    PipeWriter firstList(directory / "a.txt");
    RunningProgram second(in(directory, {"b.txt"}));
    PipeWriter secondList(directory / "b.txt");
    ASSERT_TRUE(firstList.isOpen() && secondList.isOpen());
    ASSERT_TRUE(firstList.write("3 " + std::to_string(2 * kCount) + "\n" + repeated(kCount, "0 1 0.5\n")));
    ASSERT_TRUE(secondList.write("3 " + std::to_string(2 * kCount) + "\n" + repeated(kCount, "1 2 0.25\n")));
    ASSERT_TRUE(waitForOutputInProgress(first.pid(), directory.path(), 0));
    ASSERT_TRUE(waitForOutputInProgress(second.pid(), directory.path(), 0));

    // Both are half way; the first one finishes, then the second.
    ASSERT_TRUE(firstList.write(repeated(kCount, "0 1 0.5\n")));
    firstList.close();
    expectOutcome(first.wait(), kOpened);
    EXPECT_TRUE(
        sameBytes(readFile(directory / "a.txt.datmos"), threePeopleWith(repeated(2 * kCount, "( 1 , 2 ) 5000\n"))));

    ASSERT_TRUE(secondList.write(repeated(kCount, "1 2 0.25\n")));
    secondList.close();
    expectOutcome(second.wait(), kOpened);
    EXPECT_TRUE(
        sameBytes(readFile(directory / "a.txt.datmos"), threePeopleWith(repeated(2 * kCount, "( 2 , 3 ) 2500\n"))));
    EXPECT_TRUE(fs::is_symlink(directory / "b.txt.datmos"));
    EXPECT_EQ(listDirectory(directory.path()), (Names{"a.txt", "a.txt.datmos", "b.txt", "b.txt.datmos"}));
}

// Two runs on the very same list, started together: one whole data file.
TEST(Faults, SameListConvertedTwiceAtOnce) {
    TempDir directory;
    writeFile(directory / "g.txt", "3 100000\n" + repeated(100000, "1 2 0.3\n"));
    const std::string expected = threePeopleWith(repeated(100000, "( 2 , 3 ) 2999\n"));
    for (int round = 0; round < 3; ++round) {
        RunningProgram first(in(directory, {"g.txt"}));
        RunningProgram second(in(directory, {"g.txt"}));
        expectOutcome(first.wait(), kOpened);
        expectOutcome(second.wait(), kOpened);
        EXPECT_TRUE(sameBytes(readFile(directory / "g.txt.datmos"), expected));
        EXPECT_EQ(listDirectory(directory.path()), (Names{"g.txt", "g.txt.datmos"}));
    }
}

// Fed one byte at a time, numbers arrive split across reads.
TEST(Faults, NamedPipeAsRelationList) {
    TempDir directory;
    ASSERT_EQ(::mkfifo((directory / "g.txt").c_str(), 0600), 0);
    RunningProgram program(in(directory, {"g.txt"}));
    PipeWriter list(directory / "g.txt");
    ASSERT_TRUE(list.isOpen());
    const std::string text = "12 6\n0 1 0.5\n1 2 -0.3\n10 11 1e-4\n+3 -4 2.5E+1\n5 6 0x1.8p1\n-7 8 214748.3647\ntrailing";
    for (const char byte : text) ASSERT_TRUE(list.write(std::string_view(&byte, 1)));
    list.close();
    expectOutcome(program.wait(), kOpened);
    EXPECT_EQ(readFile(directory / "g.txt.datmos"),
              "people: 12\nVarErr: 0.5\nNames: [\n1 2 3 4 5 6 7 8 9 10 11 12 ]\nMrel: [\n"
              "( 1 , 2 ) 5000\n( 2 , 3 ) -2999\n( 11 , 12 ) 1\n( 4 , -3 ) 250000\n( 6 , 7 ) 30000\n"
              "( -6 , 9 ) 2147483647\n]\n");
    EXPECT_EQ(listDirectory(directory.path()), (Names{"g.txt", "g.txt.datmos"}));
}

TEST(Faults, DirectoryAsRelationList) {
    TempDir directory;
    fs::create_directory(directory / "g");
    expectOutcome(convertIn(directory, {"g"}), kOpenFailed);
    EXPECT_EQ(listDirectory(directory.path()), (Names{"g"}));
    EXPECT_EQ(listDirectory(directory / "g"), Names{});
}

TEST(Faults, DataFilePathIsADirectory) {
    TempDir directory;
    writeFile(directory / "g.txt", "3 0\n");
    fs::create_directory(directory / "g.txt.datmos");
    writeFile(directory / "g.txt.datmos/inside", "kept");
    expectOutcome(convertIn(directory, {"g.txt"}), std::string(kOpened) + std::string(kOpenFailed));
    EXPECT_EQ(listDirectory(directory.path()), (Names{"g.txt", "g.txt.datmos"}));
    EXPECT_EQ(listDirectory(directory / "g.txt.datmos"), (Names{"inside"}));
    EXPECT_EQ(readFile(directory / "g.txt.datmos/inside"), "kept");
}

// Standard output that can't take the message does not stop the data
// file from being written whole, nor does it kill the run.
class UnwritableStandardOutput : public testing::TestWithParam<StandardOutput> {};

TEST_P(UnwritableStandardOutput, DataFileStillWritten) {
    TempDir directory;
    writeFile(directory / "g.txt", "3 100000\n" + repeated(100000, "1 2 0.3\n"));
    writeFile(directory / "g.txt.datmos", kEarlierDataFile);
    RunOptions options = in(directory, {"g.txt"});
    options.standardOutput = GetParam();
    const RunResult result = runProgram(options);
    EXPECT_TRUE(result.exited) << describe(result);
    EXPECT_EQ(result.exitStatus, 1) << describe(result);
    EXPECT_EQ(result.standardError, "");
    EXPECT_TRUE(sameBytes(readFile(directory / "g.txt.datmos"), threePeopleWith(repeated(100000, "( 2 , 3 ) 2999\n"))));
    EXPECT_TRUE(sameBytes(readFile(directory / "g.txt"), "3 100000\n" + repeated(100000, "1 2 0.3\n")));
    EXPECT_EQ(listDirectory(directory.path()), (Names{"g.txt", "g.txt.datmos"}));
}

INSTANTIATE_TEST_SUITE_P(Faults, UnwritableStandardOutput,
                         testing::Values(StandardOutput::Closed, StandardOutput::BrokenPipe),
                         [](const testing::TestParamInfo<StandardOutput>& info) {
                             return info.param == StandardOutput::Closed ? "Closed" : "BrokenPipe";
                         });

}  // namespace
}  // namespace e2e
