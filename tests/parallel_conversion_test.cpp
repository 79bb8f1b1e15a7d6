// Converting the relations chunk by chunk on several workers gives exactly
// what the stream reader gives reading them in order: the same lines, or the
// same first error with its line and relation number, whatever the chunk
// size, the number of workers, the layout, the rules and the kind of input,
// down to a read that fails at any place of a relation. Lines are counted
// by reading a file again, or not at all where that fails.
#include "relations_conversion.h"

#include <gtest/gtest.h>
#include <optional>
#include <random>
#include <string>
#include <unistd.h>
#include <utility>
#include <vector>

#include "memory_file.h"
#include "number_scan.h"
#include "read_list.h"
#include "text_counts.h"

namespace datmos {
namespace {

// How the list reaches the converter: from a memory file, which it can
// read again to count lines, from a pipe, which it can't, or from a
// terminal that gives `text` and then fails.
struct Source {
    enum Kind { File, Pipe, FailingRead } kind;
    std::string text;
};

std::string describe(const Source& source) {
    if (source.kind == Source::FailingRead) return "a read fails after byte " + std::to_string(source.text.size());
    return source.kind == Source::Pipe ? "pipe" : "file";
}

int open(const Source& source) {
    if (source.kind == Source::FailingRead) return test::terminalFailingAfter(source.text);
    return source.kind == Source::Pipe ? test::pipeWith(source.text) : test::memoryFileWith(source.text);
}

// The reference: the list read in order by the stream reader, and the
// lines the writer gives for the relations read.
test::ListConverted inOrder(const Source& source, bool strict) {
    const int fd = open(source);
    const test::ListRead read = test::readList(fd, ByteInput::kDefaultCapacity, test::kBatch, strict);
    ::close(fd);
    return {read, test::linesOf(read.relations)};
}

test::ListConverted inParallel(const Source& source, unsigned workers, std::size_t window, std::size_t chunkBytes,
                               bool strict) {
    const int fd = open(source);
    test::ListConverted converted = test::convertList(fd, workers, chunkBytes, window, strict);
    ::close(fd);
    return converted;
}

// Where the header ends: after its second word.
std::size_t headerEnd(const std::string& list) {
    std::size_t end = 0;
    for (int word = 0; word < 2; ++word) {
        while (end < list.size() && isSpace(list[end])) ++end;
        while (end < list.size() && !isSpace(list[end])) ++end;
    }
    return end;
}

// The list from a file and from a pipe; then, with room made after its
// header so that its relations lie beyond the smallest window (where a
// team converts them), cut short by a failed read at every place of its
// first relations, of a stretch further on, and at its end.
std::vector<Source> sourcesOf(const std::string& list) {
    constexpr std::size_t kStretch = 80;
    constexpr std::size_t kFurthest = 4000;  // a terminal holds more
    std::vector<Source> sources = {{Source::File, list}, {Source::Pipe, list}};
    const std::size_t header = headerEnd(list);
    const std::string padded = list.substr(0, header) + std::string(ByteInput::kLeastWindow, ' ') + list.substr(header);
    const std::size_t first = header + ByteInput::kLeastWindow;
    const std::size_t later = std::max(first + kStretch, std::min(padded.size() / 2, kFurthest));
    for (std::size_t readable = first; readable <= padded.size(); ++readable) {
        if (readable < first + kStretch || (readable >= later && readable < later + kStretch / 2) ||
            readable == padded.size()) {
            sources.push_back({Source::FailingRead, padded.substr(0, readable)});
        }
    }
    return sources;
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
        // Numbers that end only where the next byte says so, and refused
        // ones, before whitespace or a failed read.
        "3 4\n0 1 1e-3\n1 2 0x1p-2\n2 0 inf\n0 0 nan(abc)\n1 1 1\n",
        "3 3\n0 1 0." + std::string(90, '0') + "1\n1 2 0.5-1 2 1e5\n",
        "3 2\n0 1 0.5" + std::string(12, 'x') + " 1 2 0.3\n",
        // In strict mode: what follows the list, and person numbers outside
        // the people, down to none at all.
        "3 2\n0 1 0.5\n1 2 0.3\n \t\r\n",
        "3 2\n0 1 0.5\n1 2 0.3 1",
        "3 0 \nnone",
        "3 2\n0 1 0.5\n1 3 0.3\n",
        "0 1\n0 0 1\n",
        "-2147483648 1\n5 2147483646 0.5\n",
        // Long decimals whose scaled value lies within 1e-6 of a whole
        // number, on both sides, of both signs: scaled from their doubles,
        // not their digits; and just beyond that margin.
        "8 8\n0 1 0.30000000000000001\n1 2 -0.30000000000000001\n2 3 0.00009999999999999999\n"
        "3 4 -0.00009999999999999999\n"
        "4 5 0.1234000005\n5 6 -0.1233999995\n6 7 214748.36469999999\n7 0 -214748.3647000001\n",
    };
    for (const std::string& list : lists) {
        for (const bool strict : {false, true}) {
            for (const Source& source : sourcesOf(list)) {
                const test::ListConverted expected =
                    inOrder(source.kind == Source::Pipe ? Source{Source::File, list} : source, strict);
                // The calling thread alone, as the window holds the whole list
                // (there reading on after a failed read is reading in order);
                // then teams of one thread and of three, as the window is too
                // small.
                for (const auto& [workers, window] :
                     {std::pair{1U, kWholeList}, {1U, ByteInput::kLeastWindow}, {3U, ByteInput::kLeastWindow}}) {
                    if (window == kWholeList && source.kind == Source::FailingRead) continue;
                    for (const std::size_t chunkBytes : {std::size_t{8}, std::size_t{33}, std::size_t{4096}}) {
                        const test::ListConverted got = inParallel(source, workers, window, chunkBytes, strict);
                        const std::string how = list.substr(0, 80) + "\nworkers " + std::to_string(workers) +
                                                ", window " + std::to_string(window) + ", chunks of " +
                                                std::to_string(chunkBytes) + ", " + describe(source) +
                                                (strict ? ", strict" : "");
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
}

// Words are counted many bytes at a time: the same count as byte by byte,
// at every length and start around the blocks, for every whitespace byte
// and its neighbours. A wrong count costs only speed (the chunk is read
// again), so nothing else would show it.
TEST(ParallelConversion, WordsCountedAsByteByByte) {
    const std::string bytes = std::string(" \t\n\v\f\r\x08\x0e\x1f!a0\x80\xff", 15) + std::string(1, '\0');
    std::mt19937 random(7);
    for (int round = 0; round < 2000; ++round) {
        std::string text(static_cast<std::size_t>(random() % 80), ' ');
        for (char& c : text) c = bytes[random() % bytes.size()];
        const std::size_t start = text.empty() ? 0 : random() % text.size();
        std::uint64_t expected = 0;
        for (std::size_t i = start; i < text.size(); ++i) {
            expected += !isSpace(text[i]) && (i == start || isSpace(text[i - 1])) ? 1 : 0;
        }
        ASSERT_EQ(countWords(text.data() + start, text.data() + text.size()), expected) << round;
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
    const int pipe = test::pipeWith("3 2\n");  // pread fails on it
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
        {pipe, 1, std::nullopt},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(countLineEndsInFile(c.fd, c.offset), c.lineEnds) << c.offset << (c.fd == file ? " file" : " pipe");
    }
    ::close(file);
    ::close(pipe);
}

}  // namespace
}  // namespace datmos
