// The command line's options, and the messages that name a cut-short
// weight, a list's end in strict mode, and line ends of every kind: what
// the program prints, its exit status and the data file it leaves.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "messages.h"
#include "run_program.h"
#include "version.h"

namespace e2e {
namespace {

constexpr const char* kWorked = "3 2\n0 1 0.5\n1 2 0.3\n";
constexpr const char* kWorkedData = "people: 3\nVarErr: 0.5\nNames: [\n1 2 3 ]\nMrel: [\n( 1 , 2 ) 5000\n( 2 , 3 ) 2999\n]\n";

std::string failedRead(const std::string& rest) { return std::string(datmos::kOpened) + "Fail to read file In: " + rest; }

struct Case {
    const char* name;
    std::vector<std::string> arguments;  // "LIST" stands for the relation list's name
    std::string list;                    // written as LIST unless empty
    std::string output;                  // standard output
    int status;
    std::optional<std::string> dataFile;  // what LIST.datmos holds, or none
};

class Options : public testing::TestWithParam<Case> {};

TEST_P(Options, OutputStatusAndDataFile) {
    const Case& c = GetParam();
    TempDir directory;
    if (!c.list.empty()) writeFile(directory / "LIST", c.list);
    RunOptions options;
    options.workingDirectory = directory.path();
    options.arguments = c.arguments;
    const RunResult result = runProgram(options);
    ASSERT_TRUE(result.exited) << describe(result);
    EXPECT_EQ(result.exitStatus, c.status);
    EXPECT_EQ(result.standardOutput, c.output);
    EXPECT_EQ(result.standardError, "");
    if (c.dataFile) {
        EXPECT_EQ(readFile(directory / "LIST.datmos"), *c.dataFile);
    } else {
        EXPECT_FALSE(std::filesystem::exists(directory / "LIST.datmos"));
    }
}

INSTANTIATE_TEST_SUITE_P(
    CommandLine, Options,
    testing::Values(
        Case{"Help", {"--help"}, "", std::string(datmos::kHelp), 0, {}},
        Case{"HelpIgnoresTheRest", {"--help", "LIST"}, kWorked, std::string(datmos::kHelp), 0, {}},
        Case{"Version", {"--version"}, "", std::string("datmos-convert ") + DATMOS_VERSION + "\n", 0, {}},
        // Only the first argument is an option: later ones are ignored.
        Case{"OptionsLaterAreIgnored", {"LIST", "--help"}, kWorked, "abriu", 1, kWorkedData},
        Case{"ShortHelpIsAFileName", {"-h"}, "", "Fail to open file In", 1, {}},
        Case{"StrictWithoutAList",
             {"--strict"},
             "",
             "Fail to open file In: no relation list given; Usage: datmos-convert [--strict] RELATION_LIST (see "
             "datmos-convert --help)",
             1,
             {}},
        Case{"StrictWellFormed", {"--strict", "LIST"}, std::string(kWorked) + " \t\r\n\n", "abriu", 1, kWorkedData},
        Case{"StrictRefusesWhatFollows",
             {"--strict", "LIST"},
             std::string(kWorked) + "2 0 0.1\n",
             failedRead("line 4, after relation 2 of 2: expected the end of the list, found \"2\""),
             1,
             {}},
        Case{"StrictRefusesTextAfterTheHeader",
             {"--strict", "LIST"},
             "3 0 none",
             failedRead("line 1, after the header: expected the end of the list, found \"none\""),
             1,
             {}},
        Case{"StrictRefusesPersonsBeyondThePeople",
             {"--strict", "LIST"},
             "3 2\n0 1 0.5\n1 3 0.3\n",
             failedRead("line 3, relation 2 of 2: expected a person number from 0 to 2, found \"3\""),
             1,
             {}},
        Case{"StrictRefusesNegativePersons",
             {"--strict", "LIST"},
             "3 1\n-1 1 0.5\n",
             failedRead("line 2, relation 1 of 1: expected a person number from 0 to 2, found \"-1\""),
             1,
             {}},
        Case{"StrictWithTheLowestPeople",
             {"--strict", "LIST"},
             "-2147483648 1\n5 2147483646 0.5\n",
             failedRead("line 2, relation 1 of 1: expected no person number, as the list has -2147483648 people, "
                        "found \"5\""),
             1,
             {}},
        Case{"WithoutStrictTheSameListsPass", {"LIST"}, std::string(kWorked) + "2 0 0.1\n", "abriu", 1, kWorkedData},
        // A weight cut short by a decimal comma or a fraction is named.
        Case{"DecimalComma",
             {"LIST"},
             "3 2\n0 1 0,5\n1 2 0.3\n",
             failedRead("line 2, relation 2 of 2: expected an integer, found \",5\" right after the weight \"0\" of "
                        "relation 1"),
             1,
             {}},
        Case{"Fraction",
             {"LIST"},
             "3 2\n0 1 1/3\n1 2 0.3\n",
             failedRead("line 2, relation 2 of 2: expected an integer, found \"/3\" right after the weight \"1\" of "
                        "relation 1"),
             1,
             {}},
        // Glued to the count of relations, not to a weight: nothing to name.
        Case{"GluedToTheCount",
             {"LIST"},
             "3 2,5\n",
             failedRead("line 1, relation 1 of 2: expected an integer, found \",5\""),
             1,
             {}},
        // A lone carriage return ends a line, and so does CR LF, once.
        Case{"OldLineEnds",
             {"LIST"},
             "3 2\r0 1 0.5\r1 2 x\r",
             failedRead("line 3, relation 2 of 2: expected a real number, found \"x\""),
             1,
             {}},
        Case{"MixedLineEnds",
             {"LIST"},
             "3 2\r\n0 1 0.5\n\r1 2 x",
             failedRead("line 4, relation 2 of 2: expected a real number, found \"x\""),
             1,
             {}}),
    [](const testing::TestParamInfo<Case>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace e2e
