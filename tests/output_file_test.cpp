#include "output_file.h"

#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "run_program.h"

namespace datmos {
namespace {

namespace fs = std::filesystem;

class OutputFileTest : public ::testing::TestWithParam<OutputFile::Temporary> {
protected:
    static void writeAll(int fd, const std::string& text) {
        ASSERT_EQ(::write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
    }
    std::size_t entries() const { return e2e::listDirectory(directory_.path()).size(); }

    e2e::TempDir directory_;
    const fs::path target_ = directory_ / "g.txt.datmos";
};

TEST_P(OutputFileTest, CommitPutsTheWholeFileInPlace) {
    auto opened = OutputFile::open(target_, GetParam());
    ASSERT_TRUE(std::holds_alternative<OutputFile>(opened));
    auto& file = std::get<OutputFile>(opened);
    writeAll(file.fd(), "people: 1\n");
    EXPECT_FALSE(fs::exists(target_));  // nothing shows before the commit
    EXPECT_EQ(file.commit(), 0);
    EXPECT_EQ(e2e::readFile(target_), "people: 1\n");
    EXPECT_EQ(entries(), 1u);
    const mode_t mask = ::umask(0);
    ::umask(mask);
    EXPECT_EQ(fs::status(target_).permissions(), static_cast<fs::perms>(0666 & ~mask));
}

TEST_P(OutputFileTest, AFileThatAppearsBeforeTheCommitIsReplaced) {
    auto opened = OutputFile::open(target_, GetParam());
    auto& file = std::get<OutputFile>(opened);
    writeAll(file.fd(), "new");
    std::ofstream(target_) << "appeared";
    EXPECT_EQ(file.commit(), 0);
    EXPECT_EQ(e2e::readFile(target_), "new");
    EXPECT_EQ(entries(), 1u);
}

TEST_P(OutputFileTest, ReplacingKeepsThePermissionBits) {
    std::ofstream(target_) << "old";
    fs::permissions(target_, static_cast<fs::perms>(0640));
    {
        auto opened = OutputFile::open(target_, GetParam());
        auto& file = std::get<OutputFile>(opened);
        writeAll(file.fd(), "new");
        ASSERT_EQ(file.commit(), 0);
    }
    EXPECT_EQ(e2e::readFile(target_), "new");
    EXPECT_EQ(fs::status(target_).permissions(), static_cast<fs::perms>(0640));
    EXPECT_EQ(entries(), 1u);
}

TEST_P(OutputFileTest, WithoutCommitNothingChanges) {
    std::ofstream(target_) << "old";
    {
        auto opened = OutputFile::open(target_, GetParam());
        writeAll(std::get<OutputFile>(opened).fd(), "partial");
    }
    EXPECT_EQ(e2e::readFile(target_), "old");
    EXPECT_EQ(entries(), 1u);
}

TEST_P(OutputFileTest, AnInterruptedProcessLeavesNoTemporaryFile) {
    std::ofstream(target_) << "old";
    for (const int signalNumber : {SIGINT, SIGTERM, SIGHUP}) {
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            auto opened = OutputFile::open(target_, GetParam());
            if (!std::holds_alternative<OutputFile>(opened)) ::_exit(2);
            if (::write(std::get<OutputFile>(opened).fd(), "partial", 7) != 7) ::_exit(3);
            ::raise(signalNumber);
            ::_exit(4);  // not reached: the signal ends the process
        }
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFSIGNALED(status)) << status;
        EXPECT_EQ(WTERMSIG(status), signalNumber);
        EXPECT_EQ(e2e::readFile(target_), "old");
        EXPECT_EQ(entries(), 1u) << "signal " << signalNumber;
    }
}

INSTANTIATE_TEST_SUITE_P(BothTemporaries, OutputFileTest,
                         ::testing::Values(OutputFile::Temporary::UnnamedFirst, OutputFile::Temporary::Named),
                         [](const auto& info) {
                             return info.param == OutputFile::Temporary::Named ? "Named" : "UnnamedFirst";
                         });

}  // namespace
}  // namespace datmos
