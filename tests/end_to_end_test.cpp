// The converter as its users see it: run as a process on files in a
// throw-away directory, judged by its standard output, its exit status and
// the files it leaves behind.
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "run_program.h"

namespace e2e {
namespace {

namespace fs = std::filesystem;

constexpr const char* kWorkedExample =
    "people: 3\n"
    "VarErr: 0.5\n"
    "Names: [\n"
    "1 2 3 ]\n"
    "Mrel: [\n"
    "( 1 , 2 ) 5000\n"
    "( 2 , 3 ) 2999\n"
    "]\n";

// The data file for three people with the given relation lines.
std::string threePeopleWith(const std::string& relationLines) {
    return "people: 3\nVarErr: 0.5\nNames: [\n1 2 3 ]\nMrel: [\n" + relationLines + "]\n";
}

std::string repeated(int count, const std::string& text) {
    std::string result;
    for (int i = 0; i < count; ++i) result += text;
    return result;
}

// text, padded with blanks to `size` bytes.
std::string padTo(std::string text, std::size_t size) {
    text.resize(size, ' ');
    return text;
}

RunResult convertIn(const TempDir& directory, std::vector<std::string> arguments) {
    RunOptions options;
    options.workingDirectory = directory.path();
    options.arguments = std::move(arguments);
    return runProgram(options);
}

// The outcome every successful run shares.
void expectSuccess(const RunResult& result) {
    EXPECT_TRUE(result.exited) << describe(result);
    EXPECT_EQ(result.exitStatus, 1) << describe(result);
    EXPECT_EQ(result.standardOutput, kOpened);
    EXPECT_EQ(result.standardError, "");
}

void expectFailure(const RunResult& result, const std::string& message) {
    EXPECT_TRUE(result.exited) << describe(result);
    EXPECT_EQ(result.exitStatus, 1) << describe(result);
    EXPECT_EQ(result.standardOutput, message);
    EXPECT_EQ(result.standardError, "");
}

TEST(EndToEnd, WorkedExampleByteForByte) {
    TempDir directory;
    writeFile(directory / "g.txt", "3 2\n0 1 0.5\n1 2 0.3\n");
    expectSuccess(convertIn(directory, {"g.txt"}));
    EXPECT_EQ(readFile(directory / "g.txt.datmos"), kWorkedExample);
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
        Conversion{"AllOnOneLine", "3 2 0 1 0.5 1 2 0.3", kWorkedExample},
        Conversion{"AnyWhitespace", "\t3\r\n\n 2\v0\f1   0.5\r\n1\t2\t0.3", kWorkedExample},
        Conversion{"NoPeopleNoRelations", "0 0\n", "people: 0\nVarErr: 0.5\nNames: [\n]\nMrel: [\n]\n"},
        Conversion{"NegativeCountsIgnoreWhatFollows", "-2 -5\nnot a relation\n",
                   "people: -2\nVarErr: 0.5\nNames: [\n]\nMrel: [\n]\n"},
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

TEST(EndToEnd, NamesLineCountsUpPastEveryCarry) {
    TempDir directory;
    writeFile(directory / "g.txt", "10001 0\n");
    expectSuccess(convertIn(directory, {"g.txt"}));
    std::string names;
    for (int n = 1; n <= 10001; ++n) names += std::to_string(n) + " ";
    EXPECT_TRUE(sameBytes(readFile(directory / "g.txt.datmos"), "people: 10001\nVarErr: 0.5\nNames: [\n" + names + "]\nMrel: [\n]\n"));
}

struct Malformed {
    const char* name;
    std::string list;
    std::string message;  // after "abriu"
};

void PrintTo(const Malformed& malformed, std::ostream* out) { *out << malformed.name; }

class RefusesMalformed : public testing::TestWithParam<Malformed> {};

// A refused list leaves the directory as it was: no new data file, an
// earlier one byte for byte, and no temporary file behind.
TEST_P(RefusesMalformed, WithoutTouchingFiles) {
    for (const bool earlierDataFile : {false, true}) {
        SCOPED_TRACE(earlierDataFile ? "earlier data file" : "no earlier data file");
        TempDir directory;
        writeFile(directory / "g.txt", GetParam().list);
        const std::string earlier = "people: 1\nVarErr: 0.5\nNames: [\n1 ]\nMrel: [\n]\n";
        if (earlierDataFile) writeFile(directory / "g.txt.datmos", earlier);

        expectFailure(convertIn(directory, {"g.txt"}), kOpened + GetParam().message);
        if (earlierDataFile) {
            EXPECT_EQ(readFile(directory / "g.txt.datmos"), earlier);
            EXPECT_EQ(listDirectory(directory.path()), (Names{"g.txt", "g.txt.datmos"}));
        } else {
            EXPECT_EQ(listDirectory(directory.path()), (Names{"g.txt"}));
        }
    }
}

constexpr const char* kRead = "Fail to read file In: ";
const std::string kIntegerRange = "expected an integer from -2147483648 to 2147483647, found ";
const std::string kPersonRange = "expected a person number from -2147483648 to 2147483646, found ";
const std::string kWeightRange = "expected a weight above -214748.3649 and below 214748.3648, found ";

INSTANTIATE_TEST_SUITE_P(
    EndToEnd, RefusesMalformed,
    testing::Values(
        Malformed{"Empty", "", kRead + std::string("line 1, header: expected an integer, found end of file")},
        Malformed{"OnlyBlankLines", "\n\n  \n", kRead + std::string("line 4, header: expected an integer, found end of file")},
        Malformed{"HeaderCutShort", "3", kRead + std::string("line 1, header: expected an integer, found end of file")},
        Malformed{"HeaderNotANumber", "3 two\n", kRead + std::string("line 1, header: expected an integer, found \"two\"")},
        Malformed{"HeaderIsAReal", "3.5 2\n", kRead + std::string("line 1, header: expected an integer, found \".5\"")},
        Malformed{"PeopleTooLarge", "2147483648 0\n", kRead + std::string("line 1, header: ") + kIntegerRange + "\"2147483648\""},
        Malformed{"CountTooSmall", "3\n-2147483649\n", kRead + std::string("line 2, header: ") + kIntegerRange + "\"-2147483649\""},
        Malformed{"HugeCount", "3 99999999999999999999999\n",
                  kRead + std::string("line 1, header: ") + kIntegerRange + "\"99999999999999999999999\""},
        Malformed{"ListEndsBeforeCount", "3 2\n0 1 0.5\n",
                  kRead + std::string("line 3, relation 2 of 2: expected an integer, found end of file")},
        Malformed{"RelationCutShort", "3 2\n0 1 0.5\n1 2", kRead + std::string("line 3, relation 2 of 2: expected a real number, found end of file")},
        Malformed{"PersonNotANumber", "3 1\n0 one 0.5\n", kRead + std::string("line 2, relation 1 of 1: expected an integer, found \"one\"")},
        Malformed{"WeightNotANumber", "3 2\n0 1 0.5\n\n1 2 heavy", kRead + std::string("line 4, relation 2 of 2: expected a real number, found \"heavy\"")},
        Malformed{"PersonWithoutSuccessor", "3 1\n2147483647 0 0.5\n",
                  kRead + std::string("line 2, relation 1 of 1: ") + kPersonRange + "\"2147483647\""},
        Malformed{"PersonTooSmall", "3 1\n0 -2147483649 0.5\n",
                  kRead + std::string("line 2, relation 1 of 1: ") + kPersonRange + "\"-2147483649\""},
        Malformed{"WeightTooLarge", "3 1\n0 1 214748.3648\n", kRead + std::string("line 2, relation 1 of 1: ") + kWeightRange + "\"214748.3648\""},
        Malformed{"WeightTooSmall", "3 1\n0 1 -214748.365\n", kRead + std::string("line 2, relation 1 of 1: ") + kWeightRange + "\"-214748.365\""},
        Malformed{"WeightBeyondDouble", "3 1\n0 1 -1e400\n", kRead + std::string("line 2, relation 1 of 1: ") + kWeightRange + "\"-1e400\""},
        Malformed{"WeightInfinite", "3 1\n0 1 inf\n", kRead + std::string("line 2, relation 1 of 1: ") + kWeightRange + "\"inf\""},
        Malformed{"WeightNaN", "3 1\n0 1 -NaN\n", kRead + std::string("line 2, relation 1 of 1: ") + kWeightRange + "\"-NaN\""},
        Malformed{"LongTokenCut", "3 1\n0 1 " + std::string(50, 'w') + "\n",
                  kRead + std::string("line 2, relation 1 of 1: expected a real number, found \"") + std::string(40, 'w') + "\"..."},
        Malformed{"TokenOfExactlyFortyBytes", "3 1\n0 1 " + std::string(40, 'w'),
                  kRead + std::string("line 2, relation 1 of 1: expected a real number, found \"") + std::string(40, 'w') + "\""},
        Malformed{"NonPrintableBytesEscaped", std::string("3 1\n0 1 \x01\x7f\xc3\xa9z\n"),
                  kRead + std::string("line 2, relation 1 of 1: expected a real number, found \"\\x01\\x7f\\xc3\\xa9z\"")},
        Malformed{"NulByte", std::string("3 1\n0 1 \0x", 10),
                  kRead + std::string("line 2, relation 1 of 1: expected a real number, found \"\\x00x\"")},
        // Past the first megabytes of input, lines are still counted.
        Malformed{"FailureLateInALongList",
                  [] {
                      std::string list = "5 300000\n";
                      for (int i = 0; i < 299999; ++i) list += "1 2 0.25\n";
                      return list + "1 2 ?\n";
                  }(),
                  kRead + std::string("line 300001, relation 300000 of 300000: expected a real number, found \"?\"")},
        // A bad token that starts 20 bytes before the end of the first
        // mebibyte read, its quote reaching beyond it.
        Malformed{"LongTokenAcrossMebibyte",
                  [] {
                      std::string list = "5 100001\n";
                      for (int i = 0; i < 100000; ++i) list += "1 2 0.25\n";
                      list += "1 2";
                      list.resize((1u << 20) - 20, ' ');
                      return list + std::string(50, 'q') + "\n";
                  }(),
                  kRead + std::string("line 100002, relation 100001 of 100001: expected a real number, found \"") +
                      std::string(40, 'q') + "\"..."}),
    [](const testing::TestParamInfo<Malformed>& info) { return info.param.name; });

TEST(EndToEnd, NoArgumentGivesUsage) {
    TempDir directory;
    const RunResult result = convertIn(directory, {});
    EXPECT_TRUE(result.exited && result.exitStatus == 1) << describe(result);
    EXPECT_EQ(result.standardOutput.rfind(kOpenFailed, 0), 0u) << result.standardOutput;
    EXPECT_NE(result.standardOutput.find("usage: datmos-convert RELATION_LIST"), std::string::npos) << result.standardOutput;
    EXPECT_TRUE(!result.standardOutput.empty() && result.standardOutput.back() != '\n');
    EXPECT_EQ(result.standardError, "");
    EXPECT_EQ(listDirectory(directory.path()), Names{});
}

TEST(EndToEnd, UnopenableRelationList) {
    for (const std::string argument : {"absent.txt", "", "nowhere/g.txt", "g.txt/"}) {
        SCOPED_TRACE("argument \"" + argument + "\"");
        TempDir directory;
        writeFile(directory / "g.txt", "3 0\n");
        expectFailure(convertIn(directory, {argument}), kOpenFailed);
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
        writeFile(directory / path, "3 2\n0 1 0.5\n1 2 0.3\n");
        expectSuccess(convertIn(directory, {path}));
        EXPECT_EQ(readFile(directory / (path + ".datmos")), kWorkedExample);
        EXPECT_EQ(listDirectory((directory / path).parent_path()),
                  (Names{(directory / path).filename().string(), (directory / path).filename().string() + ".datmos"}));
    }
}

TEST(EndToEnd, AbsolutePath) {
    TempDir directory;
    writeFile(directory / "g.txt", "3 2\n0 1 0.5\n1 2 0.3\n");
    RunOptions options;
    options.workingDirectory = "/";
    options.arguments = {(directory / "g.txt").string()};
    expectSuccess(runProgram(options));
    EXPECT_EQ(readFile(directory / "g.txt.datmos"), kWorkedExample);
}

TEST(EndToEnd, ArgumentsAfterTheFirstIgnored) {
    TempDir directory;
    writeFile(directory / "g.txt", "3 2\n0 1 0.5\n1 2 0.3\n");
    writeFile(directory / "h.txt", "1 0\n");
    expectSuccess(convertIn(directory, {"g.txt", "h.txt", "--help", ""}));
    EXPECT_EQ(readFile(directory / "g.txt.datmos"), kWorkedExample);
    EXPECT_EQ(listDirectory(directory.path()), (Names{"g.txt", "g.txt.datmos", "h.txt"}));
}

TEST(EndToEnd, ReplacesEarlierDataFileWhole) {
    TempDir directory;
    writeFile(directory / "g.txt", "3 2\n0 1 0.5\n1 2 0.3\n");
    writeFile(directory / "g.txt.datmos", std::string(5000, 'x'));  // longer than the new one
    ASSERT_EQ(::chmod((directory / "g.txt.datmos").c_str(), 0640), 0);

    expectSuccess(convertIn(directory, {"g.txt"}));
    EXPECT_EQ(readFile(directory / "g.txt.datmos"), kWorkedExample);
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
        writeFile(directory / "g.txt", "3 2\n0 1 0.5\n1 2 0.3\n");
        if (targetExists) {
            writeFile(directory / "store/data", "earlier");
            ASSERT_EQ(::chmod((directory / "store/data").c_str(), 0604), 0);
        }
        fs::create_symlink("store/data", directory / "g.txt.datmos");

        expectSuccess(convertIn(directory, {"g.txt"}));
        ASSERT_TRUE(fs::is_symlink(directory / "g.txt.datmos"));
        EXPECT_EQ(fs::read_symlink(directory / "g.txt.datmos"), "store/data");
        EXPECT_EQ(readFile(directory / "store/data"), kWorkedExample);
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
        expectFailure(convertIn(directory, {"g.txt"}), std::string(kOpened) + kOpenFailed);
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
