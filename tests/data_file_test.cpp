#include "data_file.h"

#include <cerrno>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "exact_scaling.h"
#include "expected_data_file.h"
#include "memory_file.h"
#include "read_list.h"

namespace datmos {
namespace {

using test::writtenBy;

TEST(DataFile, WorkedExampleByteForByte) {
    const std::string bytes = writtenBy([](ByteOutput& out) {
        writeHead(out, 3);
        writeRelation(out, {0, 1, 0.5});
        writeRelation(out, {1, 2, 0.3});
        writeTail(out);
    });
    EXPECT_EQ(bytes, test::kWorkedDataFile);
}

TEST(DataFile, HeadForFewOrNoPeople) {
    const struct {
        std::int32_t people;
        const char* head;
    } cases[] = {
        {0, "people: 0\nVarErr: 0.5\nNames: [\n]\nMrel: [\n"},
        {-2, "people: -2\nVarErr: 0.5\nNames: [\n]\nMrel: [\n"},
        {-2147483647 - 1, "people: -2147483648\nVarErr: 0.5\nNames: [\n]\nMrel: [\n"},
        {1, "people: 1\nVarErr: 0.5\nNames: [\n1 ]\nMrel: [\n"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(writtenBy([&](ByteOutput& out) { writeHead(out, c.people); }), c.head) << c.people;
    }
}

TEST(DataFile, NamesCountThroughEveryCarry) {
    // Counts that stop before, at and after each hundred and each carry up
    // to six digits; the smallest buffer makes names straddle its flushes.
    for (const std::int32_t people : {2, 99, 100, 101, 199, 200, 999, 1000, 1001, 10001, 12345, 100001}) {
        for (const std::size_t capacity : {ByteOutput::kMinimumCapacity, ByteOutput::kDefaultCapacity}) {
            EXPECT_EQ(writtenBy([&](ByteOutput& out) { writeHead(out, people); }, capacity), test::dataFileHead(people))
                << people << " people, buffer of " << capacity;
        }
    }
}

TEST(DataFile, RelationLines) {
    const struct {
        Relation relation;
        const char* line;
    } cases[] = {
        {{0, 0, 1.0}, "( 1 , 1 ) 10000\n"},
        {{-1, 4, 0.3}, "( 0 , 5 ) 2999\n"},
        {{5, 5, 0.1}, "( 6 , 6 ) 1000\n"},
        {{2, 1, -0.3}, "( 3 , 2 ) -2999\n"},
        {{7, 8, 0.00005}, "( 8 , 9 ) 0\n"},
        {{7, 8, -0.00005}, "( 8 , 9 ) 0\n"},
        {{-2147483647 - 1, 2147483646, 214748.3647}, "( -2147483647 , 2147483647 ) 2147483647\n"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(writtenBy([&](ByteOutput& out) { writeRelation(out, c.relation); }), c.line);
    }
}

// Numbers on both sides of every power of ten and of two, negative ones,
// and the 32-bit extremes: written in batches, as text they must read as
// the decimal forms of the person numbers plus one and of the scaled weight.
TEST(DataFile, NumbersOfEveryLength) {
    std::vector<std::int64_t> numbers = {0, 2147483646, -2147483647 - 1};
    for (std::int64_t power = 1; power <= 1000000000; power *= 10) numbers.insert(numbers.end(), {power - 1, power});
    for (int bits = 0; bits < 31; ++bits) numbers.insert(numbers.end(), {(std::int64_t{1} << bits) - 1, std::int64_t{1} << bits});
    std::vector<Relation> relations;
    std::string expected;
    for (const std::int64_t magnitude : numbers) {
        for (const std::int64_t number : {magnitude, -magnitude}) {
            if (number < -2147483647 - 1 || number > 2147483646) continue;
            const auto person = static_cast<std::int32_t>(number);
            const double weight = static_cast<double>(number % 2147483) / 10000.0;
            relations.push_back({person, static_cast<std::int32_t>(-1 - number), weight});
            expected += "( " + std::to_string(number + 1) + " , " + std::to_string(-number) + " ) " +
                        std::to_string(*reference::exactScaledWeight(weight)) + "\n";
        }
    }
    for (const std::size_t capacity : {ByteOutput::kMinimumCapacity, ByteOutput::kDefaultCapacity}) {
        EXPECT_EQ(writtenBy([&](ByteOutput& out) { writeRelations(out, relations); }, capacity), expected) << capacity;
    }
}

TEST(DataFile, ManyRelationsThroughSmallBuffer) {
    std::string expected;
    const std::string bytes = writtenBy(
        [&](ByteOutput& out) {
            for (std::int32_t i = 0; i < 5000; ++i) {
                writeRelation(out, {i, -i, i / 8.0});
                expected += "( " + std::to_string(i + 1) + " , " + std::to_string(1 - i) + " ) " +
                            std::to_string(i * 1250) + "\n";
            }
        },
        ByteOutput::kMinimumCapacity);
    EXPECT_EQ(bytes, expected);
}

// Space reserved ahead of the writes is given back at the end, or when
// the output is dropped unfinished after a failure: the file holds its
// bytes and no more than a few blocks beyond them.
TEST(DataFile, ReservedSpaceIsGivenBack) {
    constexpr std::size_t kStep = ByteOutput::kReserveStep;
    for (const bool finished : {true, false}) {
        for (const std::size_t size :
             {std::size_t{0}, std::size_t{1}, kStep - 1, kStep + 1, kStep + 300000, 2 * kStep + 12345}) {
            const int fd = test::emptyMemoryFile();
            std::string bytes(size, 'x');
            for (std::size_t i = 0; i < size; i += 4099) bytes[i] = static_cast<char>('a' + i % 26);
            {
                ByteOutput output(fd, ByteOutput::kDefaultCapacity, ByteOutput::Reserve::Ahead);
                output.append(bytes);
                if (finished) output.finish();
                EXPECT_EQ(output.error(), 0);
            }
            struct stat status{};
            ASSERT_EQ(::fstat(fd, &status), 0);
            EXPECT_LE(static_cast<std::size_t>(status.st_blocks) * 512, size + 65536) << size << " " << finished;
            if (finished) {
                EXPECT_EQ(test::contentOf(fd), bytes) << size;
            }
            ::close(fd);
        }
    }
}

// Output held in memory reaches the file only past the bound or at the
// end, and only after what must come first succeeded: until then the file
// stays as it was.
TEST(DataFile, HeldOutputReachesTheFileOnlyPastTheBoundOrAtTheEnd) {
    constexpr std::size_t kBound = 3 * ByteOutput::kMinimumCapacity + 5;
    struct Case {
        std::size_t bytes;
        bool finished;
        int firstError;  // of what must come first
    };
    for (const Case& c : {Case{kBound, false, 0}, Case{kBound, true, 0}, Case{kBound + 1, false, 0},
                          Case{kBound, true, EIO}, Case{kBound + 1, false, EIO}}) {
        const int fd = test::memoryFileWith("earlier");
        std::string bytes(c.bytes, 'x');
        for (std::size_t i = 0; i < c.bytes; i += 7) bytes[i] = static_cast<char>('a' + i % 26);
        int calls = 0;
        {
            ByteOutput output(fd, ByteOutput::kMinimumCapacity);
            output.holdUpTo(kBound, [&] {
                ++calls;
                return c.firstError != 0 ? c.firstError : ::ftruncate(fd, 0) == 0 ? 0 : errno;
            });
            output.append(bytes);
            output.flush();
            if (c.finished) output.finish();
            EXPECT_EQ(output.error(), c.firstError) << c.bytes << " " << c.finished;
        }
        const bool released = c.finished || c.bytes > kBound;
        EXPECT_EQ(calls, released ? 1 : 0) << c.bytes << " " << c.finished;
        EXPECT_EQ(test::contentOf(fd), released && c.firstError == 0 ? bytes : "earlier") << c.bytes << " " << c.finished;
        ::close(fd);
    }
}

TEST(DataFile, WriteErrorIsKept) {
    const int readOnly = ::open("/dev/null", O_RDONLY);
    ASSERT_GE(readOnly, 0);
    ByteOutput output(readOnly, ByteOutput::kMinimumCapacity);
    writeHead(output, 1000);
    output.flush();
    EXPECT_EQ(output.error(), EBADF);
    ::close(readOnly);
}

}  // namespace
}  // namespace datmos
