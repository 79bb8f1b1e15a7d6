// The converter as its users see it: run as a process on files in a
// throw-away directory, judged by its standard output, its exit status and
// the files it leaves behind.
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "run_program.h"

namespace e2e {
namespace {

namespace fs = std::filesystem;
using datmos::kExpectInteger;
using datmos::kExpectReal;
using datmos::kExpectWeight;
using datmos::kReadFailed;

// text, padded with blanks to `size` bytes.
std::string padTo(std::string text, std::size_t size) {
    text.resize(size, ' ');
    return text;
}

TEST(EndToEnd, WorkedExampleByteForByte) {
    TempDir directory;
    writeFile(directory / "g.txt", kWorkedList);
    expectSuccess(convertIn(directory, {"g.txt"}));
    EXPECT_EQ(readFile(directory / "g.txt.datmos"), kWorkedDataFile);
    EXPECT_EQ(listDirectory(directory.path()), (Names{"g.txt", "g.txt.datmos"}));
}

struct Conversion {
    const char* name;
    std::string list;
    std::string dataFile;
};

void PrintTo(const Conversion& conversion, std::ostream* out) { *out << conversion.name; }

class Converts : public testing::TestWithParam<Conversion> {};

TEST_P(Converts, WellFormedList) {
    TempDir directory;
    writeFile(directory / "g.txt", GetParam().list);
    expectSuccess(convertIn(directory, {"g.txt"}));
    EXPECT_TRUE(sameBytes(readFile(directory / "g.txt.datmos"), GetParam().dataFile));
    EXPECT_EQ(listDirectory(directory.path()), (Names{"g.txt", "g.txt.datmos"}));
}

INSTANTIATE_TEST_SUITE_P(
    EndToEnd, Converts,
    testing::Values(
        Conversion{"AllOnOneLine", "3 2 0 1 0.5 1 2 0.3", kWorkedDataFile},
        Conversion{"AnyWhitespace", "\t3\r\n\n 2\v0\f1   0.5\r\n1\t2\t0.3", kWorkedDataFile},
        Conversion{"NoPeopleNoRelations", "0 0\n", dataFileWith(0, "")},
        Conversion{"NegativeCountsIgnoreWhatFollows", "-2 -5\nnot a relation\n", dataFileWith(-2, "")},
        Conversion{"ZeroRelationsIgnoreWhatFollows", "3 0 0 1 x", threePeopleWith("")},
        Conversion{"RelationsBeyondTheCountIgnored", "3 1\n0 1 0.5\n1 2 0.3\ngarbage\xff", threePeopleWith("( 1 , 2 ) 5000\n")},
        Conversion{"PersonNumbersUnchecked", "3 4\n0 0 1\n-1 4 0.3\n5 5 0.1\n007 +1 0",
                   threePeopleWith("( 1 , 1 ) 10000\n( 0 , 5 ) 2999\n( 6 , 6 ) 1000\n( 8 , 2 ) 0\n")},
        Conversion{"PersonNumberExtremes", "3 1\n2147483646 -2147483648 1\n",
                   threePeopleWith("( 2147483647 , -2147483647 ) 10000\n")},
        Conversion{"WeightsTruncatedExactly", "3 8\n0 1 0.6\n0 1 0.7\n0 1 0.1234\n0 1 -0.3\n0 1 1e-4\n0 1 0.00005\n0 1 -0.00005\n0 1 1\n",
                   threePeopleWith("( 1 , 2 ) 5999\n( 1 , 2 ) 6999\n( 1 , 2 ) 1233\n( 1 , 2 ) -2999\n( 1 , 2 ) 1\n"
                                   "( 1 , 2 ) 0\n( 1 , 2 ) 0\n( 1 , 2 ) 10000\n")},
        Conversion{"WeightsAtTheEdgesOfTheRange", "3 2\n0 1 214748.3647\n0 1 -214748.3648\n",
                   threePeopleWith("( 1 , 2 ) 2147483647\n( 1 , 2 ) -2147483648\n")},
        Conversion{"WeightSyntaxes", "3 7\n0 1 .5\n0 1 2.5E+1\n0 1 0x1p-1\n0 1 0X.8P1\n0 1 +7\n0 1 -0\n0 1 1e-400\n",
                   threePeopleWith("( 1 , 2 ) 5000\n( 1 , 2 ) 250000\n( 1 , 2 ) 5000\n( 1 , 2 ) 10000\n"
                                   "( 1 , 2 ) 70000\n( 1 , 2 ) 0\n( 1 , 2 ) 0\n")},
        // 27-byte lines after an 8-byte header: reads of 2^k bytes end
        // inside a weight.
        Conversion{"NumbersAcrossReadBoundaries",
                   "3 80000\n" + repeated(80000, "1 2 0.12345678901234567890\n"),
                   threePeopleWith(repeated(80000, "( 2 , 3 ) 1234\n"))},
        // Numbers cut by the end of the first mebibyte read.
        Conversion{"IntegerAcrossMebibyte", padTo("3 1\n0", (1u << 20) - 2) + "12345 1\n",
                   threePeopleWith("( 1 , 12346 ) 10000\n")},
        Conversion{"ExponentAcrossMebibyte", padTo("3 1\n0 1", (1u << 20) - 4) + "2.5E+1\n",
                   threePeopleWith("( 1 , 2 ) 250000\n")},
        Conversion{"ExponentSignAcrossMebibyte", padTo("3 1\n0 1", (1u << 20) - 3) + "1e+4\n",
                   threePeopleWith("( 1 , 2 ) 100000000\n")},
        Conversion{"HexPrefixAcrossMebibyte", padTo("3 1\n0 1", (1u << 20) - 2) + "0x1p-1\n",
                   threePeopleWith("( 1 , 2 ) 5000\n")},
        Conversion{"LongExponentAcrossMebibyte", padTo("3 1\n0 1", (1u << 20) - 6) + "2.5e-00000000001\n",
                   threePeopleWith("( 1 , 2 ) 2500\n")},
        Conversion{"LongNumbers", "3 1\n" + std::string(300, '0') + "1 2 0." + std::string(399, '0') + "1e400\n",
                   threePeopleWith("( 2 , 3 ) 10000\n")}),
    [](const testing::TestParamInfo<Conversion>& info) { return info.param.name; });

struct Malformed {
    const char* name;
    std::string list;
    std::string message;  // after "abriu"
};

void PrintTo(const Malformed& malformed, std::ostream* out) { *out << malformed.name; }

class RefusesMalformed : public testing::TestWithParam<Malformed> {};

// A refused list leaves the directory as it was: no new data file, an
// earlier one byte for byte, and no temporary file behind. The reader's
// refusals are checked one by one in the unit tests; these check the
// message as shown, and lists read past the converter's first windows.
TEST_P(RefusesMalformed, WithoutTouchingFiles) {
    for (const bool earlierDataFile : {false, true}) {
        SCOPED_TRACE(earlierDataFile ? "earlier data file" : "no earlier data file");
        TempDir directory;
        writeFile(directory / "g.txt", GetParam().list);
        if (earlierDataFile) writeFile(directory / "g.txt.datmos", kEarlierDataFile);

        expectOutcome(convertIn(directory, {"g.txt"}), std::string(kOpened) + GetParam().message);
        if (earlierDataFile) {
            EXPECT_EQ(readFile(directory / "g.txt.datmos"), kEarlierDataFile);
            EXPECT_EQ(listDirectory(directory.path()), (Names{"g.txt", "g.txt.datmos"}));
        } else {
            EXPECT_EQ(listDirectory(directory.path()), (Names{"g.txt"}));
        }
    }
}

// What the converter says of a field it refuses in the header or in a relation.
std::string refusal(std::string_view where, std::string_view expected, std::string_view found) {
    return std::string(kReadFailed) + std::string(where) + ": expected " + std::string(expected) + ", found " +
           std::string(found);
}

INSTANTIATE_TEST_SUITE_P(
    EndToEnd, RefusesMalformed,
    testing::Values(
        Malformed{"HeaderNotANumber", "3 two\n", refusal("line 1, header", kExpectInteger, "\"two\"")},
        Malformed{"WeightTooLarge", "3 1\n0 1 214748.3648\n",
                  refusal("line 2, relation 1 of 1", kExpectWeight, "\"214748.3648\"")},
        // Past the first megabytes of input, lines are still counted.
        Malformed{"FailureLateInALongList", "5 300000\n" + repeated(299999, "1 2 0.25\n") + "1 2 ?\n",
                  refusal("line 300001, relation 300000 of 300000", kExpectReal, "\"?\"")},
        // A bad token that starts 20 bytes before the end of the first
        // mebibyte read, its quote reaching beyond it.
        Malformed{"LongTokenAcrossMebibyte",
                  padTo("5 100001\n" + repeated(100000, "1 2 0.25\n") + "1 2", (1u << 20) - 20) +
                      std::string(50, 'q') + "\n",
                  refusal("line 100002, relation 100001 of 100001", kExpectReal,
                          "\"" + std::string(40, 'q') + "\"...")}),
    [](const testing::TestParamInfo<Malformed>& info) { return info.param.name; });

TEST(EndToEnd, NoArgumentGivesUsage) {
    TempDir directory;
    const RunResult result = convertIn(directory, {});
    EXPECT_TRUE(result.exited && result.exitStatus == 1) << describe(result);
    EXPECT_EQ(result.standardOutput.rfind(kOpenFailed, 0), 0u) << result.standardOutput;
    // The usage hint is --help's first line.
    const std::string_view usage = datmos::kHelp.substr(0, datmos::kHelp.find('\n'));
    EXPECT_NE(result.standardOutput.find(usage), std::string::npos) << result.standardOutput;
    EXPECT_TRUE(!result.standardOutput.empty() && result.standardOutput.back() != '\n');
    EXPECT_EQ(result.standardError, "");
    EXPECT_EQ(listDirectory(directory.path()), Names{});
}

TEST(EndToEnd, UnopenableRelationList) {
    for (const std::string argument : {"absent.txt", "", "nowhere/g.txt", "g.txt/"}) {
        SCOPED_TRACE("argument \"" + argument + "\"");
        TempDir directory;
        writeFile(directory / "g.txt", "3 0\n");
        expectOutcome(convertIn(directory, {argument}), kOpenFailed);
        EXPECT_EQ(listDirectory(directory.path()), (Names{"g.txt"}));
    }
}

// The data file's path is always the whole argument with ".datmos" added.
TEST(EndToEnd, DataFileBesideTheList) {
    const std::string nested = std::string(60, 'd') + "/" + std::string(60, 'e') + "/" + std::string(60, 'f') + "/" +
                               std::string(60, 'g') + "/" + std::string(57, 'h');
    ASSERT_EQ(nested.size(), 301u);
    for (const std::string path : {"g.dat", "run/g1", "./g", "-g.txt", "with space é.txt", nested.c_str()}) {
        SCOPED_TRACE(path);
        TempDir directory;
        fs::create_directories((directory / path).parent_path());
        writeFile(directory / path, kWorkedList);
        expectSuccess(convertIn(directory, {path}));
        EXPECT_EQ(readFile(directory / (path + ".datmos")), kWorkedDataFile);
        EXPECT_EQ(listDirectory((directory / path).parent_path()),
                  (Names{(directory / path).filename().string(), (directory / path).filename().string() + ".datmos"}));
    }
}

TEST(EndToEnd, AbsolutePath) {
    TempDir directory;
    writeFile(directory / "g.txt", kWorkedList);
    RunOptions options;
    options.workingDirectory = "/";
    options.arguments = {(directory / "g.txt").string()};
    expectSuccess(runProgram(options));
    EXPECT_EQ(readFile(directory / "g.txt.datmos"), kWorkedDataFile);
}

TEST(EndToEnd, ArgumentsAfterTheFirstIgnored) {
    TempDir directory;
    writeFile(directory / "g.txt", kWorkedList);
    writeFile(directory / "h.txt", "1 0\n");
    expectSuccess(convertIn(directory, {"g.txt", "h.txt", "--help", ""}));
    EXPECT_EQ(readFile(directory / "g.txt.datmos"), kWorkedDataFile);
    EXPECT_EQ(listDirectory(directory.path()), (Names{"g.txt", "g.txt.datmos", "h.txt"}));
}

TEST(EndToEnd, ReplacesEarlierDataFileWhole) {
    TempDir directory;
    writeFile(directory / "g.txt", kWorkedList);
    writeFile(directory / "g.txt.datmos", std::string(5000, 'x'));  // longer than the new one
    ASSERT_EQ(::chmod((directory / "g.txt.datmos").c_str(), 0640), 0);

    expectSuccess(convertIn(directory, {"g.txt"}));
    EXPECT_EQ(readFile(directory / "g.txt.datmos"), kWorkedDataFile);
    struct stat status{};
    ASSERT_EQ(::stat((directory / "g.txt.datmos").c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 07777, 0640u);
    EXPECT_EQ(listDirectory(directory.path()), (Names{"g.txt", "g.txt.datmos"}));
}

TEST(EndToEnd, NewDataFileModeFollowsUmask) {
    TempDir directory;
    writeFile(directory / "g.txt", "3 0\n");
    const mode_t mask = ::umask(027);
    const RunResult result = convertIn(directory, {"g.txt"});
    ::umask(mask);
    expectSuccess(result);
    struct stat status{};
    ASSERT_EQ(::stat((directory / "g.txt.datmos").c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 07777, 0640u);
}

// A symbolic link at the data file's path stays a link; the file it points
// to gets the data, whether it exists yet or not.
TEST(EndToEnd, WritesThroughSymbolicLink) {
    for (const bool targetExists : {true, false}) {
        SCOPED_TRACE(targetExists ? "existing target" : "dangling link");
        TempDir directory;
        fs::create_directory(directory / "store");
        writeFile(directory / "g.txt", kWorkedList);
        if (targetExists) {
            writeFile(directory / "store/data", "earlier");
            ASSERT_EQ(::chmod((directory / "store/data").c_str(), 0604), 0);
        }
        fs::create_symlink("store/data", directory / "g.txt.datmos");

        expectSuccess(convertIn(directory, {"g.txt"}));
        ASSERT_TRUE(fs::is_symlink(directory / "g.txt.datmos"));
        EXPECT_EQ(fs::read_symlink(directory / "g.txt.datmos"), "store/data");
        EXPECT_EQ(readFile(directory / "store/data"), kWorkedDataFile);
        if (targetExists) {
            struct stat status{};
            ASSERT_EQ(::stat((directory / "store/data").c_str(), &status), 0);
            EXPECT_EQ(status.st_mode & 07777, 0604u);
        }
        EXPECT_EQ(listDirectory(directory.path()), (Names{"g.txt", "g.txt.datmos", "store"}));
        EXPECT_EQ(listDirectory(directory / "store"), (Names{"data"}));
    }
}

// A link into a missing directory, and a link to itself: nothing to open,
// and the link stays as it was.
TEST(EndToEnd, SymbolicLinksLeadingNowhere) {
    for (const char* target : {"missing/data", "g.txt.datmos"}) {
        TempDir directory;
        writeFile(directory / "g.txt", "3 0\n");
        fs::create_symlink(target, directory / "g.txt.datmos");
        expectOutcome(convertIn(directory, {"g.txt"}), std::string(kOpened) + std::string(kOpenFailed));
        EXPECT_EQ(fs::read_symlink(directory / "g.txt.datmos"), target);
        EXPECT_EQ(listDirectory(directory.path()), (Names{"g.txt", "g.txt.datmos"}));
    }
}

// Every bundled relation list that has a data file beside it converts to
// exactly that data file.
TEST(EndToEnd, BundledExamples) {
    const fs::path examples = DATMOS_EXAMPLES;
    int compared = 0;
    if (fs::is_directory(examples)) {
        for (const auto& entry : fs::directory_iterator(examples)) {
            const fs::path expected = entry.path().string() + ".datmos";
            if (!entry.is_regular_file() || !fs::exists(expected)) continue;
            SCOPED_TRACE(entry.path().string());
            TempDir directory;
            fs::copy_file(entry.path(), directory / "list");
            expectSuccess(convertIn(directory, {"list"}));
            EXPECT_EQ(readFile(directory / "list.datmos"), readFile(expected));
            ++compared;
        }
    }
    if (compared == 0) GTEST_SKIP() << "no example with its data file in " << examples;
}

}  // namespace
}  // namespace e2e
