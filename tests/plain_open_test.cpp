// The data file written where, and only where, a plain open for writing
// would write it: directories that refuse new files, data files that a
// rename can't keep (other links, other owners, sticky directories), long
// paths and chains of links, and permission checks that root passes.
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
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
// user may write, with a list and, unless the row says otherwise, an
// earlier data file of that user: the data file is then written as a plain
// open would write it, or refused as the open refuses it, with nothing
// else in d changed.
struct PlainOpenCase {
    const char* name;
    enum Outcome { Replaced, WrittenInPlace, Refused } outcome;
    bool earlier = true;        // an earlier data file
    bool hardLink = false;      // with a second link
    bool otherUser = false;     // of another user, writable by all (only root can make it)
    mode_t directoryMode = 0777;
    int links = 0;              // symbolic links chained from the data file's path to it
    std::size_t pathBytes = 0;  // the data file's path, as passed, padded to this length
};

void PrintTo(const PlainOpenCase& c, std::ostream* out) { *out << c.name; }

std::pair<ino_t, uid_t> identityOf(const fs::path& path) {
    struct stat status{};
    if (::stat(path.c_str(), &status) != 0) return {};
    return {status.st_ino, status.st_uid};
}

class PlainOpen : public NoPermission, public testing::WithParamInterface<PlainOpenCase> {};

TEST_P(PlainOpen, WritesWhereAndAsAPlainOpenWould) {
    const PlainOpenCase& c = GetParam();
    if (c.otherUser && !user_) GTEST_SKIP() << "only root can give a file to another user";
    const fs::path d = directory_ / "d";
    fs::create_directory(d);
    // A long path: "d/", "./" repeated and the list's name padded to fit.
    std::string list = "d/", name = "g.txt";
    if (c.pathBytes > 0) {
        for (int i = 0; i < 1990; ++i) list += "./";
        name.resize(c.pathBytes - list.size() - std::string_view(".datmos").size(), 'x');
    }
    writeFile(d / name, kWorkedList);
    std::string dataFile = name + ".datmos";
    for (int i = 0; i < c.links; ++i) {
        fs::create_symlink("l" + std::to_string(i), d / dataFile);
        dataFile = "l" + std::to_string(i);
    }
    if (c.earlier) writeFile(d / dataFile, kEarlierDataFile);
    if (c.hardLink) fs::create_hard_link(d / dataFile, d / "other");
    for (const fs::directory_entry& entry : fs::directory_iterator(d)) {  // what root made is the user's
        if (user_) { ASSERT_EQ(::lchown(entry.path().c_str(), *user_, *user_), 0); }
    }
    if (c.otherUser) {
        ASSERT_EQ(::chown((d / dataFile).c_str(), 65533, 65533), 0);
        ASSERT_EQ(::chmod((d / dataFile).c_str(), 0666), 0);
    }
    ASSERT_EQ(::chmod(d.c_str(), c.directoryMode), 0);
    Names names = listDirectory(d);
    if (!c.earlier && c.outcome != PlainOpenCase::Refused) names.push_back(dataFile);
    std::sort(names.begin(), names.end());
    const auto before = identityOf(d / dataFile);

    const bool refused = c.outcome == PlainOpenCase::Refused;
    expectOutcome(run(list + name), std::string(kOpened) + std::string(refused ? kOpenFailed : ""));
    EXPECT_EQ(readFile(d / dataFile), refused ? kEarlierDataFile : kWorkedDataFile);
    if (c.outcome != PlainOpenCase::Replaced) { EXPECT_EQ(identityOf(d / dataFile), before); }
    EXPECT_EQ(listDirectory(d), names);
}

INSTANTIATE_TEST_SUITE_P(
    Faults, PlainOpen,
    testing::Values(
        // A rename would leave the other link with the earlier content.
        PlainOpenCase{"HardLinkedDataFile", PlainOpenCase::WrittenInPlace, true, true},
        // A rename would give the file to the converting user.
        PlainOpenCase{"OtherUsersDataFile", PlainOpenCase::WrittenInPlace, true, false, true},
        // Where only a file's owner may rename over it.
        PlainOpenCase{"StickyDirectoryOtherUsersDataFile", PlainOpenCase::WrittenInPlace, true, false, true, 01777},
        PlainOpenCase{"DataFilePathOf4095Bytes", PlainOpenCase::Replaced, true, false, false, 0777, 0, 4095},
        PlainOpenCase{"NewDataFilePathOf4088Bytes", PlainOpenCase::Replaced, false, false, false, 0777, 0, 4088},
        PlainOpenCase{"FortyLinks", PlainOpenCase::Replaced, true, false, false, 0777, 40},
        PlainOpenCase{"FortyOneLinks", PlainOpenCase::Refused, true, false, false, 0777, 41}),
    [](const testing::TestParamInfo<PlainOpenCase>& info) { return info.param.name; });

TEST_F(NoPermission, UnreadableRelationList) {
    writeFile(directory_ / "g.txt", "3 0\n");
    ASSERT_EQ(::chmod((directory_ / "g.txt").c_str(), 0200), 0);
    expectOutcome(run("g.txt"), kOpenFailed);
    EXPECT_EQ(listDirectory(directory_.path()), (Names{"g.txt"}));
}

}  // namespace
}  // namespace e2e
