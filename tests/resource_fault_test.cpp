// The converter where a resource runs out: file size, descriptors, inodes,
// address space. The run ends with a message and status 1, never with a
// signal; an earlier data file stays as it was, or is replaced whole, and
// no temporary file stays behind.
#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "run_program.h"

namespace e2e {
namespace {

namespace fs = std::filesystem;
using datmos::kWriteFailed;

struct FullDisk {
    const char* name;
    std::string list;
};

void PrintTo(const FullDisk& fullDisk, std::ostream* out) { *out << fullDisk.name; }

class DiskFull : public testing::TestWithParam<FullDisk> {};

// RLIMIT_FSIZE stands in for a full disk: past it, write(2) fails with
// EFBIG as it would with ENOSPC: the converter ignores SIGXFSZ, which
// would otherwise kill it.
TEST_P(DiskFull, ReportsAndKeepsEarlierDataFile) {
    constexpr unsigned long long kLimit = 64ULL * 1024;
    for (const bool earlierDataFile : {false, true}) {
        SCOPED_TRACE(earlierDataFile ? "earlier data file" : "no earlier data file");
        TempDir directory;
        writeFile(directory / "g.txt", GetParam().list);
        if (earlierDataFile) writeFile(directory / "g.txt.datmos", kEarlierDataFile);
        RunOptions options = in(directory, {"g.txt"});
        options.fileSizeLimit = kLimit;

        expectOutcome(runProgram(options), std::string(kOpened) + std::string(kWriteFailed) + "File too large");
        if (earlierDataFile) {
            EXPECT_EQ(readFile(directory / "g.txt.datmos"), kEarlierDataFile);
            EXPECT_EQ(listDirectory(directory.path()), (Names{"g.txt", "g.txt.datmos"}));
        } else {
            EXPECT_EQ(listDirectory(directory.path()), (Names{"g.txt"}));
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Faults, DiskFull,
    testing::Values(FullDisk{"WhileWritingNames", "200000 0\n"},
                    FullDisk{"WhileWritingRelations", "3 100000\n" + repeated(100000, "0 1 0.5\n")},
                    FullDisk{"OnTheLastWrite", "3 10000\n" + repeated(10000, "0 1 0.5\n")}),
    [](const testing::TestParamInfo<FullDisk>& info) { return info.param.name; });

// The same limit does not get in the way of a data file that fits under it.
TEST(Faults, DataFileUnderTheSizeLimit) {
    TempDir directory;
    writeFile(directory / "g.txt", "3 4000\n" + repeated(4000, "0 1 0.5\n"));
    RunOptions options = in(directory, {"g.txt"});
    options.fileSizeLimit = 64ULL * 1024;
    expectOutcome(runProgram(options), kOpened);
    EXPECT_TRUE(sameBytes(readFile(directory / "g.txt.datmos"), threePeopleWith(repeated(4000, "( 1 , 2 ) 5000\n"))));
}

// Where the temporary file can't be made for want of a resource, the run
// ends as where the data file can't be opened: the earlier data file is
// not written in place.
void expectEarlierDataFileKept(const RunResult& result, const fs::path& directory, const Names& names) {
    expectOutcome(result, std::string(kOpened) + std::string(kOpenFailed));
    EXPECT_EQ(readFile(directory / "g.txt.datmos"), kEarlierDataFile);
    EXPECT_EQ(listDirectory(directory), names);
}

#ifndef DATMOS_NO_OPEN_FILES_TESTS
TEST(Faults, NoDescriptorForTheTemporaryFile) {
    TempDir directory;
    writeFile(directory / "g.txt", kWorkedList);
    writeFile(directory / "g.txt.datmos", kEarlierDataFile);
    RunOptions options = in(directory, {"g.txt"});
    // Standard input, output and error, the list and the earlier data file.
    options.openFilesLimit = 5;
    expectEarlierDataFileKept(runProgram(options), directory.path(), {"g.txt", "g.txt.datmos"});
}

// A list from a pipe, too long for the first read, is converted by a team
// that needs a pipe of its own to wake a member waiting for input; where
// no descriptor is left for it, the calling thread converts the list alone.
TEST(Faults, NoDescriptorForTheWakeupPipe) {
    TempDir directory;
    ASSERT_EQ(::mkfifo((directory / "g.txt").c_str(), 0600), 0);
    RunOptions options = in(directory, {"g.txt"});
    // Standard input, output and error, the list and the temporary file,
    // and one more: a pipe needs two.
    options.openFilesLimit = 6;
    RunningProgram program(options);
    PipeWriter list(directory / "g.txt");
    ASSERT_TRUE(list.isOpen());
    ASSERT_TRUE(list.write("3 20000\n" + repeated(20000, "0 1 0.5\n")));
    list.close();
    expectSuccess(program.wait());
    EXPECT_TRUE(sameBytes(readFile(directory / "g.txt.datmos"), threePeopleWith(repeated(20000, "( 1 , 2 ) 5000\n"))));
}
#endif

// Unmounts, at the end of a test, a file system that it mounted.
struct Unmount {
    fs::path mountPoint;
    ~Unmount() { ::umount2(mountPoint.c_str(), MNT_DETACH); }
};

TEST(Faults, NoInodeForTheTemporaryFile) {
    TempDir directory;
    const fs::path small = directory / "small";
    fs::create_directory(small);
    if (::mount("tmpfs", small.c_str(), "tmpfs", 0, "size=1m,nr_inodes=8") != 0) {
        GTEST_SKIP() << "can't mount a file system of few inodes here: " << std::strerror(errno);
    }
    const Unmount unmount{small};
    writeFile(small / "g.txt", kWorkedList);
    writeFile(small / "g.txt.datmos", kEarlierDataFile);
    Names names{"g.txt", "g.txt.datmos"};
    for (int taken = 0;; ++taken) {
        const std::string name = "taken" + std::to_string(taken);
        const int fd = ::open((small / name).c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (fd < 0) {
            ASSERT_EQ(errno, ENOSPC);
            break;
        }
        ::close(fd);
        names.push_back(name);
    }
    std::sort(names.begin(), names.end());
    RunOptions options;
    options.workingDirectory = small;
    options.arguments = {"g.txt"};
    expectEarlierDataFileKept(runProgram(options), small, names);
}

#ifndef DATMOS_NO_ADDRESS_SPACE_TESTS
// Address space limits, tried in steps from the least in which the
// converter starts at all (--version) on, found to within kLeastPrecision.
constexpr unsigned long long kLeastPrecision = 64 << 10;
constexpr unsigned long long kAddressSpaceStep = 256 << 10;
constexpr unsigned long long kMostAddressSpaceTried = 8 << 20;
// More than the converter needs to start; a sanitizer or an emulator
// reserves far more.
constexpr unsigned long long kEnoughToStart = 256 << 20;

bool startsWithin(unsigned long long addressSpace) {
    RunOptions options;
    options.arguments = {"--version"};
    options.addressSpaceLimit = addressSpace;
    const RunResult result = runProgram(options);
    return result.exited && result.exitStatus == 0;
}

std::optional<unsigned long long> leastAddressSpaceToStart() {
    if (!startsWithin(kEnoughToStart)) return std::nullopt;
    unsigned long long tooLittle = 0;
    unsigned long long enough = kEnoughToStart;
    while (enough - tooLittle > kLeastPrecision) {
        const unsigned long long middle = (tooLittle + enough) / 2 / kLeastPrecision * kLeastPrecision;
        (startsWithin(middle) ? enough : tooLittle) = middle;
    }
    return enough;
}

struct ListAndDataFile {
    const char* name;
    std::string list;
    std::string dataFile;
    unsigned long long step;  // between the address space limits tried
};

void PrintTo(const ListAndDataFile& list, std::ostream* out) { *out << list.name; }

class OutOfAddressSpace : public testing::TestWithParam<ListAndDataFile> {};

// Wherever memory runs out, from the first allocation of the run on, the
// run either converts the list or ends with a message; within 16 MiB, it
// converts it. A list of more than 8 MiB is converted by a team where
// there are cores for one, whose threads may then be refused.
TEST_P(OutOfAddressSpace, ConvertsOrEndsWithAMessage) {
    constexpr unsigned long long kEnoughForAnyList = 16 << 20;
    const std::optional<unsigned long long> least = leastAddressSpaceToStart();
    ASSERT_TRUE(least) << "the converter does not start within " << kEnoughToStart << " bytes of address space";
    TempDir directory;
    writeFile(directory / "g.txt", GetParam().list);
    std::vector<unsigned long long> limits;
    for (unsigned long long limit = *least; limit <= *least + kMostAddressSpaceTried; limit += GetParam().step) {
        limits.push_back(limit);
    }
    if (*least < kEnoughForAnyList) limits.push_back(kEnoughForAnyList);
    for (const unsigned long long limit : limits) {
        SCOPED_TRACE("address space of " + std::to_string(limit) + " bytes");
        writeFile(directory / "g.txt.datmos", kEarlierDataFile);
        RunOptions options = in(directory, {"g.txt"});
        options.addressSpaceLimit = limit;
        const RunResult result = runProgram(options);
        if (result.standardOutput == kOpened || limit == kEnoughForAnyList) {
            expectSuccess(result);
            EXPECT_TRUE(sameBytes(readFile(directory / "g.txt.datmos"), GetParam().dataFile));
        } else {
            expectOutcome(result, std::string(kOpened) + std::string(kWriteFailed) + "Cannot allocate memory");
            EXPECT_EQ(readFile(directory / "g.txt.datmos"), kEarlierDataFile);
        }
        EXPECT_EQ(listDirectory(directory.path()), (Names{"g.txt", "g.txt.datmos"}));
    }
}

INSTANTIATE_TEST_SUITE_P(
    Faults, OutOfAddressSpace,
    testing::Values(ListAndDataFile{"SmallList", kWorkedList, kWorkedDataFile, kAddressSpaceStep},
                    ListAndDataFile{"ListForATeam", "3 1400000\n" + repeated(1400000, "0 1 1\n"),
                                    threePeopleWith(repeated(1400000, "( 1 , 2 ) 10000\n")), 4 * kAddressSpaceStep}),
    [](const testing::TestParamInfo<ListAndDataFile>& info) { return info.param.name; });
#endif

}  // namespace
}  // namespace e2e
