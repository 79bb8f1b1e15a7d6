// The converter under adverse conditions: signals midway,
// concurrent runs on one data file, pipes and directories where files are
// expected, missing permissions, and a standard output that can't be
// written. Whatever happens, a data file is either written whole or left
// as it was, and no temporary file stays behind.
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <filesystem>
#include <functional>
#include <optional>
#include <utility>
#include <string>
#include <vector>

#include "run_program.h"

namespace e2e {
namespace {

namespace fs = std::filesystem;
using datmos::kWriteFailed;

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

// Permission checks that root passes; root runs a copy of the converter as
// nobody.
class NoPermission : public testing::Test {
protected:
    void SetUp() override {
        if (::geteuid() == 0) {
            user_ = 65534;
            // Let that user reach the files.
            fs::permissions(directory_.path(), fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                                                   fs::perms::others_read | fs::perms::others_exec);
            program_ = copyForEveryUser(programDirectory_);
        }
    }

    RunResult run(const std::string& argument, std::optional<unsigned long long> fileSizeLimit = {}) {
        RunOptions options = in(directory_, {argument});
        options.program = program_;
        options.user = user_;
        options.fileSizeLimit = fileSizeLimit;
        return runProgram(options);
    }

    TempDir directory_;
    TempDir programDirectory_;
    std::string program_ = kProgram;
    std::optional<uid_t> user_;
};

struct ReadOnlyCase {
    const char* name;
    std::optional<mode_t> earlierDataFileMode;  // none: no earlier data file
    bool written;                               // else: refused, left as it was
    std::string list = kWorkedList;
    std::string failure = std::string(kOpenFailed);  // what follows "abriu" when not written
    // A limit that the writes in place overstep: they leave an empty file.
    std::optional<unsigned long long> fileSizeLimit = std::nullopt;
};

// A list that is refused only at its very end, and why.
const std::string kLateFailure = "3 30000\n" + repeated(29999, "0 1 0.5\n") + "0 1 x\n";
const std::string kLateFailureMessage =
    "Fail to read file In: line 30001, relation 30000 of 30000: expected a real number, found \"x\"";
const std::string kLongList = "3 30000\n" + repeated(30000, "0 1 0.5\n");

void PrintTo(const ReadOnlyCase& readOnlyCase, std::ostream* out) { *out << readOnlyCase.name; }

class ReadOnlyDirectory : public NoPermission, public testing::WithParamInterface<ReadOnlyCase> {};

// Without a temporary file beside it, a writable data file is written in
// place; otherwise nothing changes.
TEST_P(ReadOnlyDirectory, WritesOnlyWhereAPlainOpenWould) {
    const ReadOnlyCase& c = GetParam();
    const fs::path readOnly = directory_ / "ro";
    fs::create_directory(readOnly);
    writeFile(readOnly / "g.txt", c.list);
    Names expectedNames{"g.txt"};
    if (c.earlierDataFileMode) {
        writeFile(readOnly / "g.txt.datmos", kEarlierDataFile);
        ASSERT_EQ(::chmod((readOnly / "g.txt.datmos").c_str(), *c.earlierDataFileMode), 0);
        expectedNames.push_back("g.txt.datmos");
    }
    ASSERT_EQ(::chmod(readOnly.c_str(), 0555), 0);

    const RunResult result = run("ro/g.txt", c.fileSizeLimit);
    if (c.written) {
        expectOutcome(result, kOpened);
        EXPECT_EQ(readFile(readOnly / "g.txt.datmos"), kWorkedDataFile);
    } else {
        expectOutcome(result, std::string(kOpened) + c.failure);
        if (c.earlierDataFileMode) {
            EXPECT_EQ(readFile(readOnly / "g.txt.datmos"), c.fileSizeLimit ? "" : kEarlierDataFile);
        }
    }
    if (c.earlierDataFileMode) {
        EXPECT_EQ(modeOf(readOnly / "g.txt.datmos"), *c.earlierDataFileMode);
    }
    EXPECT_EQ(listDirectory(readOnly), expectedNames);
}

INSTANTIATE_TEST_SUITE_P(Faults, ReadOnlyDirectory,
                         testing::Values(ReadOnlyCase{"NoDataFile", std::nullopt, false},
                                         ReadOnlyCase{"WritableDataFile", 0666, true},
                                         ReadOnlyCase{"ReadOnlyDataFile", 0444, false},
                                         ReadOnlyCase{"MalformedList", 0666, false, kLateFailure, kLateFailureMessage},
                                         ReadOnlyCase{"DataFileOverTheSizeLimit", 0666, false, kLongList,
                                                      std::string(kWriteFailed) + "File too large", 64 << 10}),
                         [](const testing::TestParamInfo<ReadOnlyCase>& info) { return info.param.name; });

// A list that can't be read twice is converted in place into memory, so
// that one refused at its end leaves the earlier data file as it was.
TEST_F(NoPermission, PipedListRefusedInPlace) {
    const fs::path readOnly = directory_ / "ro";
    fs::create_directory(readOnly);
    ASSERT_EQ(::mkfifo((readOnly / "g.txt").c_str(), 0600), 0);
    writeFile(readOnly / "g.txt.datmos", kEarlierDataFile);
    for (const char* name : {"g.txt", "g.txt.datmos"}) ASSERT_EQ(::chmod((readOnly / name).c_str(), 0666), 0);
    ASSERT_EQ(::chmod(readOnly.c_str(), 0555), 0);
    RunOptions options = in(directory_, {"ro/g.txt"});
    options.program = program_;
    options.user = user_;
    RunningProgram program(options);
    PipeWriter list(readOnly / "g.txt");
    ASSERT_TRUE(list.isOpen());
    ASSERT_TRUE(list.write(kLateFailure));
    list.close();
    expectOutcome(program.wait(), std::string(kOpened) + kLateFailureMessage);
    EXPECT_EQ(readFile(readOnly / "g.txt.datmos"), kEarlierDataFile);
    EXPECT_EQ(listDirectory(readOnly), (Names{"g.txt", "g.txt.datmos"}));
}

// The data file where a rename can't keep it, or where a plain open would
// not write it. Each row prepares the directory d, which the converting
// user may write (files in it are that user's unless the row says
// otherwise): the data file is then written as a plain open would write
// it, or refused as the open refuses it, with nothing in d changed.
struct PlainOpenCase {
    const char* name;
    // Prepares d; gives the list's path and the data file's real path,
    // both relative to the test's directory.
    std::function<std::pair<std::string, std::string>(const fs::path& d, uid_t user)> prepare;
    bool written;
    bool sameFile = true;  // written into the earlier file itself
    bool needsRoot = false;  // to give a file to another user
};

void PrintTo(const PlainOpenCase& c, std::ostream* out) { *out << c.name; }

struct FileIdentity {
    ino_t inode = 0;
    uid_t owner = 0;
    bool operator==(const FileIdentity&) const = default;
};

FileIdentity identityOf(const fs::path& path) {
    struct stat status{};
    if (::stat(path.c_str(), &status) != 0) return {};
    return {status.st_ino, status.st_uid};
}

constexpr uid_t kOtherUser = 65533;

// An earlier data file of another user, writable by all.
void giveToOtherUser(const fs::path& file) {
    ASSERT_EQ(::chown(file.c_str(), kOtherUser, kOtherUser), 0);
    ASSERT_EQ(::chmod(file.c_str(), 0666), 0);
}

// A list whose data file's path, as passed, has exactly `length` bytes:
// "d/", "./" repeated, and a name padded to fit.
std::pair<std::string, std::string> listWithDataFilePathOf(const fs::path& d, std::size_t length, bool earlier) {
    constexpr std::size_t kRepeats = 1990;
    std::string name = "g";
    name.resize(length - std::string_view("d/").size() - 2 * kRepeats - std::string_view(".datmos").size(), 'x');
    writeFile(d / name, kWorkedList);
    if (earlier) writeFile(d / (name + ".datmos"), kEarlierDataFile);
    std::string argument = "d/";
    for (std::size_t i = 0; i < kRepeats; ++i) argument += "./";
    return {argument + name, "d/" + name + ".datmos"};
}

// A chain of `links` symbolic links at the data file's path, ending at an
// earlier data file.
std::pair<std::string, std::string> listWithLinkChain(const fs::path& d, int links) {
    writeFile(d / "g.txt", kWorkedList);
    writeFile(d / "real", kEarlierDataFile);
    for (int i = 1; i <= links; ++i) {
        const std::string from = i == 1 ? "g.txt.datmos" : "l" + std::to_string(i);
        const std::string to = i == links ? "real" : "l" + std::to_string(i + 1);
        fs::create_symlink(to, d / from);
    }
    return {"d/g.txt", "d/real"};
}

class PlainOpen : public NoPermission, public testing::WithParamInterface<PlainOpenCase> {};

TEST_P(PlainOpen, WritesWhereAndAsAPlainOpenWould) {
    const PlainOpenCase& c = GetParam();
    if (c.needsRoot && !user_) GTEST_SKIP() << "only root can give a file to another user";
    const fs::path d = directory_ / "d";
    fs::create_directory(d);
    ASSERT_EQ(::chmod(d.c_str(), 0777), 0);
    const auto [list, dataFile] = c.prepare(d, user_.value_or(::geteuid()));
    if (user_) {  // what root made in d is the converting user's
        for (const fs::directory_entry& entry : fs::directory_iterator(d)) {
            struct stat status{};
            ASSERT_EQ(::lstat(entry.path().c_str(), &status), 0);
            if (status.st_uid == 0) {
                ASSERT_EQ(::lchown(entry.path().c_str(), *user_, *user_), 0);
            }
        }
    }
    Names names = listDirectory(d);
    const FileIdentity before = identityOf(directory_ / dataFile);
    if (c.written && before == FileIdentity{}) {  // a new data file
        names.push_back(fs::path(dataFile).filename());
        std::sort(names.begin(), names.end());
    }

    const RunResult result = run(list);
    if (c.written) {
        expectOutcome(result, kOpened);
        EXPECT_EQ(readFile(directory_ / dataFile), kWorkedDataFile);
        if (c.sameFile) {
            EXPECT_EQ(identityOf(directory_ / dataFile), before);
        }
    } else {
        expectOutcome(result, std::string(kOpened) + std::string(kOpenFailed));
        EXPECT_EQ(readFile(directory_ / dataFile), kEarlierDataFile);
        EXPECT_EQ(identityOf(directory_ / dataFile), before);
    }
    EXPECT_EQ(listDirectory(d), names);
}

INSTANTIATE_TEST_SUITE_P(
    Faults, PlainOpen,
    testing::Values(
        // A rename would leave the other link with the earlier content.
        PlainOpenCase{"HardLinkedDataFile",
                      [](const fs::path& d, uid_t) {
                          writeFile(d / "g.txt", kWorkedList);
                          writeFile(d / "g.txt.datmos", kEarlierDataFile);
                          fs::create_hard_link(d / "g.txt.datmos", d / "other");
                          return std::pair<std::string, std::string>{"d/g.txt", "d/other"};
                      },
                      true},
        // A rename would give the file to the converting user.
        PlainOpenCase{"OtherUsersDataFile",
                      [](const fs::path& d, uid_t user) {
                          writeFile(d / "g.txt", kWorkedList);
                          writeFile(d / "g.txt.datmos", kEarlierDataFile);
                          giveToOtherUser(d / "g.txt.datmos");
                          EXPECT_EQ(::chown(d.c_str(), user, user), 0);
                          EXPECT_EQ(::chmod(d.c_str(), 0755), 0);
                          return std::pair<std::string, std::string>{"d/g.txt", "d/g.txt.datmos"};
                      },
                      true, true, true},
        // Where only a file's owner may rename over it.
        PlainOpenCase{"StickyDirectoryOtherUsersDataFile",
                      [](const fs::path& d, uid_t) {
                          writeFile(d / "g.txt", kWorkedList);
                          writeFile(d / "g.txt.datmos", kEarlierDataFile);
                          giveToOtherUser(d / "g.txt.datmos");
                          EXPECT_EQ(::chmod(d.c_str(), 01777), 0);
                          return std::pair<std::string, std::string>{"d/g.txt", "d/g.txt.datmos"};
                      },
                      true, true, true},
        PlainOpenCase{"DataFilePathOf4095Bytes",
                      [](const fs::path& d, uid_t) { return listWithDataFilePathOf(d, 4095, true); }, true, false},
        PlainOpenCase{"NewDataFilePathOf4088Bytes",
                      [](const fs::path& d, uid_t) { return listWithDataFilePathOf(d, 4088, false); }, true, false},
        PlainOpenCase{"FortyLinks", [](const fs::path& d, uid_t) { return listWithLinkChain(d, 40); }, true, false},
        PlainOpenCase{"FortyOneLinks", [](const fs::path& d, uid_t) { return listWithLinkChain(d, 41); }, false}),
    [](const testing::TestParamInfo<PlainOpenCase>& info) { return info.param.name; });

TEST_F(NoPermission, UnreadableRelationList) {
    writeFile(directory_ / "g.txt", "3 0\n");
    ASSERT_EQ(::chmod((directory_ / "g.txt").c_str(), 0200), 0);
    expectOutcome(run("g.txt"), kOpenFailed);
    EXPECT_EQ(listDirectory(directory_.path()), (Names{"g.txt"}));
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
