// The converter where a resource runs out: file size, descriptors, inodes,
// address space. The run ends with a message and status 1, never with a
// signal; an earlier data file stays as it was, or is replaced whole, and
// no temporary file stays behind.
#include <fcntl.h>
#include <sys/mount.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string>

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

TEST(Faults, NoDescriptorForTheTemporaryFile) {
    TempDir directory;
    writeFile(directory / "g.txt", kWorkedList);
    writeFile(directory / "g.txt.datmos", kEarlierDataFile);
    RunOptions options = in(directory, {"--version"});
    // Standard input, output and error, the list and the earlier data file.
    options.openFilesLimit = 5;
    // An emulator, and the shell that starts it, need more.
    if (const RunResult started = runProgram(options); started.exitStatus != 0) {
        GTEST_SKIP() << "the converter does not start with 5 open files here: " << describe(started);
    }
    options.arguments = {"g.txt"};
    expectEarlierDataFileKept(runProgram(options), directory.path(), {"g.txt", "g.txt.datmos"});
}

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

// Wherever memory runs out, from the first allocation of the run on, the
// run either converts the list or ends with a message.
TEST(Faults, OutOfAddressSpace) {
    const std::optional<unsigned long long> least = leastAddressSpaceToStart();
    if (!least) GTEST_SKIP() << "the converter does not start within " << kEnoughToStart << " bytes of address space";
    TempDir directory;
    writeFile(directory / "g.txt", kWorkedList);
    for (unsigned long long limit = *least; limit <= *least + kMostAddressSpaceTried; limit += kAddressSpaceStep) {
        SCOPED_TRACE("address space of " + std::to_string(limit) + " bytes");
        writeFile(directory / "g.txt.datmos", kEarlierDataFile);
        RunOptions options = in(directory, {"g.txt"});
        options.addressSpaceLimit = limit;
        const RunResult result = runProgram(options);
        if (result.standardOutput == kOpened) {
            expectSuccess(result);
            EXPECT_EQ(readFile(directory / "g.txt.datmos"), kWorkedDataFile);
        } else {
            expectOutcome(result, std::string(kOpened) + std::string(kWriteFailed) + "Cannot allocate memory");
            EXPECT_EQ(readFile(directory / "g.txt.datmos"), kEarlierDataFile);
        }
        EXPECT_EQ(listDirectory(directory.path()), (Names{"g.txt", "g.txt.datmos"}));
    }
}

}  // namespace
}  // namespace e2e
