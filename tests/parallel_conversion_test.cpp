// Converting the relations chunk by chunk on several workers gives exactly
// what the stream reader gives reading them in order: the same lines, or the
// same first error with its line and relation number, whatever the chunk
// size, the number of workers, the layout and the kind of input. Lines are
// counted by reading a file again, or not at all where that fails.
#include "relations_conversion.h"

#include <gtest/gtest.h>
#include <optional>
#include <random>
#include <string>
#include <unistd.h>
#include <utility>
#include <vector>

#include "memory_file.h"
#include "read_list.h"
#include "text_counts.h"

namespace datmos {
namespace {

// The reference: the list read in order by the stream reader, and the
// lines the writer gives for the relations read.
test::ListConverted inOrder(const std::string& list) {
    const int fd = test::memoryFileWith(list);
    const test::ListRead read = test::readList(fd);
    ::close(fd);
    return {read, test::linesOf(read.relations)};
}

test::ListConverted inParallel(const std::string& list, unsigned workers, std::size_t window, std::size_t chunkBytes,
                               bool fromPipe) {
    const int fd = fromPipe ? test::pipeWith(list) : test::memoryFileWith(list);
    test::ListConverted converted = test::convertList(fd, workers, chunkBytes, window);
    ::close(fd);
    return converted;
}

// Relations whose numbers take every form, in the given layout.
std::string generated(int relations, const char* separator, const char* lineEnd, unsigned seed) {
    static const char* weights[] = {"0.5",     "-0.3",      "7",        "1e-4",        "2.5E+1", "0x1.8p-1",
                                    "-0x10",   ".5",        "5.",       "+0.25",       "123.456", "0.1234567890123456",
                                    "1e-400",  "0.3333333333333333", "4.213000e-03", "-99.99999"};
    std::mt19937 random(seed);
    std::string text = std::to_string(relations) + separator + std::to_string(relations) + lineEnd;
    for (int i = 0; i < relations; ++i) {
        text += std::to_string(static_cast<int>(random() % 2000) - 10) + separator;
        text += std::to_string(random() % 2147483647) + separator;
        text += weights[random() % std::size(weights)];
        text += lineEnd;
    }
    return text;
}

// A window that holds every list of the table whole.
constexpr std::size_t kWholeList = std::size_t{1} << 20;

TEST(ParallelConversion, MatchesReadingInOrder) {
    const std::string longZeros = "0." + std::string(300, '0') + "1";
    const std::vector<std::string> lists = {
        generated(300, " ", "\n", 1),
        generated(300, " ", " ", 2),       // all on one line
        generated(300, "\n", "\n", 3),     // one number per line
        generated(300, "\t", "\r\n", 4),   // tabs and CR LF
        generated(300, " ", "\r", 5),      // old line ends
        generated(300, " \n ", "\n\n", 6),
        // Numbers glued together: more numbers than words, so the workers'
        // guess of where a chunk begins is wrong after them.
        "9 6\n0 1 0.5-1 2 0.3+3 4 0.25\n5 6.5 7 8 9 1e1\n1 2 3\n4 5 6\n7 8 9\n",
        "2 4 0 1 .5-1 2 -.5 1 1 1 1 1 1",
        // A number longer than a chunk, in each field.
        "3 3\n" + std::string(200, '0') + "1 2 0.5\n1 " + std::string(150, '0') + "2 " + longZeros + "\n1 2 3\n",
        // Nothing after the last announced relation matters.
        "3 2\n0 1 0.5\n1 2 0.3\nthe end " + std::string(500, 'x') + " 1 2 3",
        // Errors, far into the list and at its end.
        generated(120, " ", "\n", 7) + "oops",
        generated(200, " ", "\n", 8).substr(0, 3000),
        "3 4\n0 1 0.5\n1 2 0.3\n2147483647 0 1\n0 0 0\n",
        "3 4\n0 1 0.5\n\n\n1 2 1e9\n0 0 0\n",
        "3 2\n0 1 0.5\n1 2 nan\n",
        "3 3\n0 1 0.5\r\n1 2\r\n0.3 x",
        "3 3\n0 1 0.5\n1 2 0.3\n1 2 0\x01",
        "3 2\n0 1 0.5\n1\n",
    };
    for (const std::string& list : lists) {
        const test::ListConverted expected = inOrder(list);
        // The calling thread alone, as the window holds the whole list; then
        // teams of one thread and of three, as the window is too small.
        for (const auto& [workers, window] :
             {std::pair{1U, kWholeList}, {1U, ByteInput::kLeastWindow}, {3U, ByteInput::kLeastWindow}}) {
            for (const std::size_t chunkBytes : {std::size_t{8}, std::size_t{33}, std::size_t{4096}}) {
                for (const bool fromPipe : {false, true}) {
                    const test::ListConverted got = inParallel(list, workers, window, chunkBytes, fromPipe);
                    const std::string how = list.substr(0, 80) + "\nworkers " + std::to_string(workers) + ", window " +
                                            std::to_string(window) + ", chunks of " + std::to_string(chunkBytes) +
                                            (fromPipe ? ", pipe" : ", file");
                    ASSERT_TRUE(test::sameEnd(got, expected)) << how << "\n" << test::describe(got) << "expected\n"
                                                              << test::describe(expected);
                    if (!expected.error) {
                        ASSERT_EQ(got.lines, expected.lines) << how;
                    }
                }
            }
        }
    }
}

// The line of a refused field in a regular file is counted by reading the
// file again up to it: where the file can't be read that far, no count,
// rather than the count of what could be read.
TEST(ParallelConversion, LineEndsCountedByReadingAgain) {
    // A carriage return ends the first 64 KiB read (at 65535), and its
    // line feed begins the next: one line end.
    const std::string text = "3 2\r\n0 1 0.5\r1 2\n\n0.3" + std::string(65514, ' ') + "\r\nx\n";
    const int file = test::memoryFileWith(text);
    const int failing = test::failingReads();
    const struct {
        int fd;
        std::uint64_t offset;
        std::optional<std::uint64_t> lineEnds;
    } cases[] = {
        {file, 0, 0},
        {file, 5, 1},
        {file, 24, 4},
        {file, 65535, 4},
        {file, 65536, 5},
        {file, 65537, 5},
        {file, text.size(), 6},
        {file, text.size() + 1, std::nullopt},  // the file is shorter than where the field was
        {failing, 1, std::nullopt},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(countLineEndsInFile(c.fd, c.offset), c.lineEnds) << c.offset << (c.fd == file ? " file" : " failing");
    }
    ::close(file);
    ::close(failing);
}

}  // namespace
}  // namespace datmos
