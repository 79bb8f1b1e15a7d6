// One call failing in the converter, through a library preloaded into it
// (support/failing_call.cpp), under a data file written in place (it has
// a second link): each allocation of the run in turn, or the rewind of a
// list that is read twice. The run converts the list, or ends with a
// message leaving the earlier data file as it was.
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <string_view>

#include "run_program.h"

#ifdef DATMOS_CONVERT_SHARED
namespace e2e {
namespace {

namespace fs = std::filesystem;

struct FailingCall {
    const char* name;
    bool piped;
    std::string fail;          // DATMOS_FAIL; "malloc:" is followed by each allocation's number in turn
    std::string_view failure;  // what follows "abriu" when the run fails
};

void PrintTo(const FailingCall& c, std::ostream* out) { *out << c.name; }

class OneFailingCall : public testing::TestWithParam<FailingCall> {};

TEST_P(OneFailingCall, ConvertsOrKeepsTheEarlierDataFile) {
    const FailingCall& c = GetParam();
    const std::string list = "3 30000\n" + repeated(30000, "0 1 0.5\n");
    const std::string dataFile = threePeopleWith(repeated(30000, "( 1 , 2 ) 5000\n"));
    constexpr int kMostCalls = 1000;
    const bool eachAllocation = c.fail == "malloc:";
    for (int call = 1; call <= (eachAllocation ? kMostCalls : 1); ++call) {
        const std::string fail = eachAllocation ? c.fail + std::to_string(call) : c.fail;
        SCOPED_TRACE(fail);
        TempDir directory;
        writeFile(directory / "g.txt.datmos", kEarlierDataFile);
        fs::create_hard_link(directory / "g.txt.datmos", directory / "link");
        if (c.piped) {
            ASSERT_EQ(::mkfifo((directory / "g.txt").c_str(), 0600), 0);
        } else {
            writeFile(directory / "g.txt", list);
        }
        RunOptions options = in(directory, {"g.txt"});
        options.program = DATMOS_CONVERT_SHARED;
        options.environment = {std::string("LD_PRELOAD=") + DATMOS_FAILING_CALL, "DATMOS_FAIL=" + fail};
        RunningProgram program(options);
        if (c.piped) static_cast<void>(PipeWriter(directory / "g.txt").write(list));  // false where the run ended early
        const RunResult result = program.wait();
        if (result.standardError == "DATMOS_FAIL: not reached\n") {
            EXPECT_EQ(result.standardOutput, kOpened);
            EXPECT_GT(call, 1);
            return;
        }
        if (result.standardOutput == kOpened) {
            expectSuccess(result);
            EXPECT_TRUE(sameBytes(readFile(directory / "link"), dataFile));
        } else {
            expectOutcome(result, std::string(kOpened) + std::string(c.failure));
            EXPECT_EQ(readFile(directory / "link"), kEarlierDataFile);
        }
        EXPECT_EQ(listDirectory(directory.path()), (Names{"g.txt", "g.txt.datmos", "link"}));
    }
    EXPECT_FALSE(eachAllocation) << "more than " << kMostCalls << " allocations";
}

constexpr std::string_view kOutOfMemory = "Fail to write file Out: Cannot allocate memory";

INSTANTIATE_TEST_SUITE_P(
    Faults, OneFailingCall,
    testing::Values(FailingCall{"EachAllocationListInAFile", false, "malloc:", kOutOfMemory},
                    FailingCall{"EachAllocationListFromAPipe", true, "malloc:", kOutOfMemory},
                    FailingCall{"RewindOfTheList", false, "lseek",
                                "Fail to read file In: line 1, header: cannot read: Input/output error"}),
    [](const testing::TestParamInfo<FailingCall>& info) { return info.param.name; });

}  // namespace
}  // namespace e2e
#endif
