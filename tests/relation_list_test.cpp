// The reader of relation lists: numbers in every form and layout, refusals
// with their line and description, numbers of any length, all read the
// ways the converter reads them.
#include "relation_list.h"

#include <clocale>
#include <cmath>
#include <cstdlib>
#include <gtest/gtest.h>
#include <locale.h>
#include <random>
#include <string>
#include <sys/resource.h>
#include <unistd.h>
#include <vector>

#include "expected_data_file.h"
#include "memory_file.h"
#include "messages.h"
#include "read_list.h"

namespace datmos {
namespace {

using test::ListEnd;
using test::ListRead;
using test::sameRelations;

enum class Source { File, Pipe };

// The text read with the stream reader through a window of `capacity`
// bytes, `batch` relations per call, from a memory file (which the reader
// can read again to count lines) or from a pipe (which it can't).
ListRead readText(const std::string& text, std::size_t capacity = ByteInput::kDefaultCapacity,
                  Source source = Source::File, std::size_t batch = test::kBatch) {
    const int fd = source == Source::File ? test::memoryFileWith(text) : test::pipeWith(text);
    ListRead list = test::readList(fd, capacity, batch);
    ::close(fd);
    return list;
}

double cLocaleStrtod(const std::string& text) {
    static const locale_t cLocale = newlocale(LC_ALL_MASK, "C", locale_t{});
    return strtod_l(text.c_str(), nullptr, cLocale);
}

TEST(RelationList, LayoutDoesNotMatter) {
    const std::vector<Relation> expected = {{0, 1, 0.5}, {1, 2, 0.3}};
    const char* layouts[] = {
        "3 2\n0 1 0.5\n1 2 0.3\n",
        "3 2 0 1 0.5 1 2 0.3",
        "  3\t2\r\n0\n1\n0.5\n\n\n1 2 0.3",
        "\v3\f2 0 1 0.5 1 2 0.3 trailing text is never read",
        "3 2\n0 1 0.5+1 2 0.3",  // a number ends where its syntax does
        "3 2\n0 1 0.5\n1 2 0.3\n4 5 0.9\n",
    };
    for (const char* layout : layouts) {
        const ListRead list = readText(layout);
        EXPECT_FALSE(list.error) << layout << ": " << list.error->what;
        EXPECT_EQ(list.header->people, 3) << layout;
        EXPECT_TRUE(sameRelations(list.relations, expected)) << layout;
    }
}

TEST(RelationList, NumberForms) {
    const struct {
        const char* weight;
        double value;
    } reals[] = {
        {"0.3", 0.3},          {".5", 0.5},         {"5.", 5.0},          {"3", 3.0},
        {"1e-4", 1e-4},        {"2.5E+1", 25.0},    {"+0.25", 0.25},      {"-0.5", -0.5},
        {"0x1.8p-1", 0.75},    {"0X.8P1", 1.0},     {"-0x10", -16.0},     {"0x1P+2", 4.0},
        {"0x100p+-8", 256.0},  {"0x1p-+2", 1.0},    {"0x1.p", 1.0},       {"0x.8p+", 0.5},
        {"1e-400", 0.0},       {"-1e-400", -0.0},   {"4.9e-324", 4.9e-324}, {"000.1", 0.1},
        {"0.30000000000000001665", 0.3},  // just below the midpoint
        {"0.30000000000000001666", 0.30000000000000004},
        {"0.3xyz", 0.3},  // as the last field, what follows is never judged
        // Rounded twice where arithmetic carries excess precision (x87).
        {"7.466974", 7.466974}, {"2.483487", 2.483487},
    };
    for (const auto& c : reals) {
        const ListRead list = readText(std::string("1 1 +007 -0 ") + c.weight);
        ASSERT_FALSE(list.error) << c.weight << ": " << list.error->what;
        ASSERT_EQ(list.relations.size(), 1u);
        EXPECT_EQ(list.relations[0].first, 7);
        EXPECT_EQ(list.relations[0].second, 0);
        EXPECT_EQ(std::bit_cast<std::uint64_t>(list.relations[0].weight), std::bit_cast<std::uint64_t>(c.value))
            << c.weight;
    }
}

TEST(RelationList, CountsOfZeroOrBelowReadNoRelation) {
    for (const char* text : {"3 0 garbage", "3 -5 garbage", "-2 0"}) {
        const ListRead list = readText(text);
        EXPECT_FALSE(list.error) << text;
        EXPECT_TRUE(list.relations.empty()) << text;
    }
}

TEST(RelationList, UncheckedPersonNumbersPass) {
    const ListRead list = readText("3 2 5 5 0.1 -1 -2147483648 1");
    ASSERT_FALSE(list.error);
    EXPECT_TRUE(sameRelations(list.relations, std::vector<Relation>{{5, 5, 0.1}, {-1, -2147483647 - 1, 1.0}}));
}

std::string expected(std::string_view expected, std::string_view found) {
    return "expected " + std::string(expected) + ", found " + std::string(found);
}
constexpr std::string_view kEndOfFile = "end of file";
constexpr std::int64_t kHeader = 0;

// Every refusal gives its relation (kHeader for the header), the line of
// the refused field, and what stands there, whichever way the converter
// reads: with the stream reader through windows of every size, and in
// chunks converted on one and on three workers, from a file and a pipe.
TEST(RelationList, RefusalsSayWhereAndWhat) {
    // Tokens longer than the smaller windows and chunks, read as they
    // stream by.
    const std::string zeros(100, '0');
    const std::string letters(100, 'x');
    const std::string sevens(60, '7');
    const std::string ws(50, 'w');
    const struct {
        std::string list;
        std::uint64_t line;
        std::int64_t relation;
        std::string what;
    } cases[] = {
        {"", 1, kHeader, expected(kExpectInteger, kEndOfFile)},
        {"\n\n  \n", 4, kHeader, expected(kExpectInteger, kEndOfFile)},
        {"3", 1, kHeader, expected(kExpectInteger, kEndOfFile)},
        {"x 2", 1, kHeader, expected(kExpectInteger, "\"x\"")},
        {"3 two\n", 1, kHeader, expected(kExpectInteger, "\"two\"")},
        {"3.5 2\n", 1, kHeader, expected(kExpectInteger, "\".5\"")},
        {"2147483648 1", 1, kHeader, expected(kExpectCount, "\"2147483648\"")},
        {"3\n-2147483649\n", 2, kHeader, expected(kExpectCount, "\"-2147483649\"")},
        {"3 99999999999999999999999\n", 1, kHeader, expected(kExpectCount, "\"99999999999999999999999\"")},
        {"3 2\n0 1 0.5\n", 3, 2, expected(kExpectInteger, kEndOfFile)},
        {"3 2\n0 1 0.5\n1 2", 3, 2, expected(kExpectReal, kEndOfFile)},
        {"3 2\n0 1 0.5\n\n1 2 abc", 4, 2, expected(kExpectReal, "\"abc\"")},
        {"3 2\n0 1 0.5 -", 2, 2, expected(kExpectInteger, "\"-\"")},
        {"3 1\n0 one 0.5\n", 2, 1, expected(kExpectInteger, "\"one\"")},
        {"3 1\n0 +-1 0.5", 2, 1, expected(kExpectInteger, "\"+-1\"")},
        {"3 1\n0 1 .", 2, 1, expected(kExpectReal, "\".\"")},
        {"3 1\n0 1 -.e5", 2, 1, expected(kExpectReal, "\"-.e5\"")},
        {"3 2\n0 1 0.5x 1 2 0.3", 2, 2, expected(kExpectInteger, "\"x\"")},
        {"3 1\n2147483647 0 1", 2, 1, expected(kExpectPerson, "\"2147483647\"")},
        {"3 1\n0 -2147483649 0.5\n", 2, 1, expected(kExpectPerson, "\"-2147483649\"")},
        {"3 1\n" + sevens + " 0 1", 2, 1, expected(kExpectPerson, "\"" + sevens.substr(0, 40) + "\"...")},
        {"3 1\n0 1 214748.3648", 2, 1, expected(kExpectWeight, "\"214748.3648\"")},
        {"3 1\n0 1 -214748.365\n", 2, 1, expected(kExpectWeight, "\"-214748.365\"")},
        {"3 1\n0 1 inf\n", 2, 1, expected(kExpectWeight, "\"inf\"")},
        {"3 1\n0 1 -inf", 2, 1, expected(kExpectWeight, "\"-inf\"")},
        {"3 1\n0 1 -NaN\n", 2, 1, expected(kExpectWeight, "\"-NaN\"")},
        {"3 1\n0 1 NaN(1)", 2, 1, expected(kExpectWeight, "\"NaN(1)\"")},
        {"3 1\n0 1 1e999", 2, 1, expected(kExpectWeight, "\"1e999\"")},
        {"3 1\n0 1 -1e400\n", 2, 1, expected(kExpectWeight, "\"-1e400\"")},
        // Quotes: at most 40 bytes, escaped.
        {"3 1\n0 1 " + ws + "\n", 2, 1, expected(kExpectReal, "\"" + ws.substr(0, 40) + "\"...")},
        {"3 1\n0 1 " + ws.substr(0, 40), 2, 1, expected(kExpectReal, "\"" + ws.substr(0, 40) + "\"")},
        {"3 1\n0 1 \"\\\x01\xff", 2, 1, expected(kExpectReal, "\"\\\"\\\\\\x01\\xff\"")},
        {"3 1\n0 1 \x01\x7f\xc3\xa9z\n", 2, 1, expected(kExpectReal, "\"\\x01\\x7f\\xc3\\xa9z\"")},
        {std::string("3 1\n0 1 \0x", 10), 2, 1, expected(kExpectReal, "\"\\x00x\"")},
        // Numbers longer than a window or a chunk.
        {"3 1\n-" + zeros + "2147483649 0 1", 2, 1, expected(kExpectPerson, "\"-" + zeros.substr(0, 39) + "\"...")},
        {"3 1\n0 " + zeros + "2147483647 1", 2, 1, expected(kExpectPerson, "\"" + zeros.substr(0, 40) + "\"...")},
        {"3 1\n0 1 1" + zeros, 2, 1, expected(kExpectWeight, "\"1" + zeros.substr(0, 39) + "\"...")},
        {"3 1\n0 1 1e" + std::string(100, '9'), 2, 1, expected(kExpectWeight, "\"1e" + std::string(38, '9') + "\"...")},
        {"3 1\n0 1 nan(" + letters + ")", 2, 1, expected(kExpectWeight, "\"nan(" + letters.substr(0, 36) + "\"...")},
        {"3 1\n0 1\n\n-NaN(" + letters + " 1", 4, 1, expected(kExpectWeight, "\"-NaN\"")},  // not closed
        {"3 2\n0 1 0." + zeros + "5e+ 1 2 0.5", 2, 2, expected(kExpectInteger, "\"e+\"")},
        {"3 2\n0 1 0x0." + zeros + "8p-x 1 2 0.5", 2, 2, expected(kExpectInteger, "\"p-x\"")},
        // Far into the list, past many windows and chunks dropped.
        {"9 5000\n" + test::repeated(4000, "1 2 0.5\n\n") + "\n\n1 2 oops", 1 + 2 * 4000 + 3, 4001,
         expected(kExpectReal, "\"oops\"")},
    };
    for (const auto& c : cases) {
        const auto check = [&c](const ListEnd& end, const std::string& how) {
            ASSERT_TRUE(end.error) << how << "\n" << c.list.substr(0, 80);
            EXPECT_EQ(end.failedRelation, c.relation) << how << "\n" << c.list.substr(0, 80);
            EXPECT_EQ(end.error->line, c.line) << how << "\n" << c.list.substr(0, 80);
            EXPECT_EQ(end.error->what, c.what) << how << "\n" << c.list.substr(0, 80);
        };
        for (const Source source : {Source::File, Source::Pipe}) {
            const std::string from = source == Source::File ? "file" : "pipe";
            for (const std::size_t capacity : {std::size_t{1}, std::size_t{7}, ByteInput::kDefaultCapacity}) {
                check(readText(c.list, capacity, source), "window of " + std::to_string(capacity) + ", " + from);
            }
            for (const unsigned workers : {1U, 3U}) {
                for (const std::size_t chunkBytes : {std::size_t{8}, std::size_t{4096}}) {
                    const int fd = source == Source::File ? test::memoryFileWith(c.list) : test::pipeWith(c.list);
                    check(test::convertList(fd, workers, chunkBytes), std::to_string(workers) + " workers, chunks of " +
                                                                          std::to_string(chunkBytes) + ", " + from);
                    ::close(fd);
                }
            }
        }
    }
}

// The decimal digits of 5^exponent times the factors: of 2^-exponent
// times their product, scaled by 10^exponent.
std::string digitsOfPowerOfFive(int exponent, std::initializer_list<std::uint64_t> factors) {
    std::vector<std::uint64_t> digits{1};  // least significant first
    const auto multiply = [&](std::uint64_t factor) {
        std::uint64_t carry = 0;
        for (std::uint64_t& digit : digits) {
            carry += digit * factor;
            digit = carry % 10;
            carry /= 10;
        }
        for (; carry != 0; carry /= 10) digits.push_back(carry % 10);
    };
    for (int i = 0; i < exponent; ++i) multiply(5);
    for (const std::uint64_t factor : factors) multiply(factor);
    std::string text;
    for (auto digit = digits.rbegin(); digit != digits.rend(); ++digit) text += static_cast<char>('0' + *digit);
    return text;
}

// Numbers far longer than the window are read as they stream by, keeping
// only the digits that decide them: each must still round as the C library
// rounds the whole number, right at the points where rounding changes.
TEST(RelationList, NumbersOfAnyLengthAcrossBlocks) {
    const std::string zeros(5000, '0');
    const std::string nines(5000, '9');
    std::string digits = "0.";
    for (int i = 0; i < 5000; ++i) digits += static_cast<char>('0' + (i * 7 + 3) % 10);
    // 1 + 2^-53, halfway between 1 and the next binary64 value.
    const std::string half = "100000000000000011102230246251565404236316680908203125";
    // 2^-1075, below which values round to 0 (752 digits), and 2^-1022 -
    // 2^-1075, halfway between the largest subnormal and the smallest
    // normal value (768 digits, as many as such a point can have).
    const std::string tiny = digitsOfPowerOfFive(1075, {});
    const std::string subnormalHalf = digitsOfPowerOfFive(1075, {6361, 69431, 20394401});  // times 2^53 - 1
    const auto scientific = [](const std::string& digits, const std::string& more, int exponent) {
        return digits.substr(0, 1) + "." + digits.substr(1) + more + "e" + std::to_string(exponent);
    };
    const std::string weights[] = {
        digits,
        zeros + "1e-4",
        "1." + half.substr(1) + zeros,              // a tie: to even, 1
        "-1." + half.substr(1) + zeros + "1",       // past it: away from 1
        "1." + half.substr(1, half.size() - 2) + "4" + nines,  // short of it: 1
        half + zeros + "1e-5054",                   // digits dropped before the point count
        "0." + zeros + half + zeros + "1e5001",     // leading zeros are not significant
        scientific(tiny, "", -324),                 // a tie: to even, 0
        scientific(tiny, zeros + "1", -324),        // past it: the smallest subnormal
        scientific(subnormalHalf, zeros, -308),     // a tie: to even, 2^-1022
        "1e-" + zeros + "1",
        "5e-" + nines,
        "0x1.00000000000008" + zeros,               // hexadecimal: a tie, 1
        "0x100000000000008" + zeros + "1p-20060",   // past it
        "0x0." + zeros + "100000000000008" + zeros + "1p20004",
    };
    std::string text = "2 " + std::to_string(std::size(weights) + 1) + "\n";
    std::vector<Relation> expected;
    for (const std::string& weight : weights) {
        text += "+" + zeros + "1 -" + zeros + "7\t" + weight + "\n";
        expected.push_back({1, -7, cLocaleStrtod(weight)});
    }
    text += zeros + " -" + zeros + " 0.5";
    expected.push_back({0, 0, 0.5});
    ASSERT_EQ(std::bit_cast<std::uint64_t>(expected[8].weight), 1u) << "the smallest subnormal";
    for (const std::size_t capacity : {std::size_t{1}, std::size_t{100}, std::size_t{4096}, ByteInput::kDefaultCapacity}) {
        const ListRead list = readText(text, capacity);
        ASSERT_FALSE(list.error) << list.error->what;
        ASSERT_EQ(list.relations.size(), expected.size()) << capacity;
        for (std::size_t i = 0; i < expected.size(); ++i) {
            EXPECT_TRUE(sameRelations(std::span(&list.relations[i], 1), std::span(&expected[i], 1))) << "capacity " << capacity << ", weight "
                                                                          << i << ": " << list.relations[i].weight;
        }
    }
}

// The peak resident memory of this process so far, in KiB.
long peakKiB() {
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

// Numbers of 16 Mi digits each (leading zeros of a person number, the
// digits and the exponent of a weight) take bounded memory. The peak counts
// for the whole process and only grows: an earlier test could hide a fault
// here, never feign one.
TEST(RelationList, LongNumbersTakeBoundedMemory) {
    const int fd = test::emptyMemoryFile();
    const std::string zeros(1 << 16, '0');
    const std::string threes(1 << 16, '3');
    const auto append = [fd](const std::string& text, int times) {
        for (int i = 0; i < times; ++i) {
            ASSERT_EQ(::write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
        }
    };
    append("1 1\n", 1);
    append(zeros, 256);
    append("1 2 0.", 1);
    append(threes, 256);
    append("e-", 1);
    append(zeros, 256);
    append("1\n", 1);
    ::lseek(fd, 0, SEEK_SET);

    const long before = peakKiB();
    const ListRead list = test::readList(fd);
    const long grown = peakKiB() - before;
    ::close(fd);
    ASSERT_FALSE(list.error) << list.error->what;
    EXPECT_TRUE(sameRelations(list.relations, std::vector<Relation>{{1, 2, cLocaleStrtod("0." + threes + "e-1")}}));
    EXPECT_LT(grown, 8 * 1024) << "KiB";
}

// Random weights in every syntax, laid out with random whitespace and read
// through windows of random size, must match the C library's conversion.
TEST(RelationList, RandomWeightsMatchTheCLibrary) {
    std::mt19937_64 random(20261208);
    const auto pick = [&](std::size_t n) { return static_cast<std::size_t>(random() % n); };
    const auto digitsOf = [&](std::size_t count, bool hex) {
        std::string s;
        for (std::size_t i = 0; i < count; ++i) s += "0123456789abcdef"[pick(hex ? 16 : 10)];
        return s;
    };
    for (int round = 0; round < 300; ++round) {
        const int count = 40;
        std::string text = "9 " + std::to_string(count);
        std::vector<Relation> expected;
        for (int i = 0; i < count; ++i) {
            const bool hex = pick(4) == 0;
            std::string weight = pick(2) ? "" : (pick(2) ? "-" : "+");
            if (hex) weight += pick(2) ? "0x" : "0X";
            weight += digitsOf(pick(4), hex);
            if (pick(3)) {
                weight += '.';
                weight += digitsOf(1 + pick(hex ? 6 : 25), hex);
            } else {
                weight += digitsOf(1, hex);
            }
            if (pick(2)) {
                weight += hex ? 'p' : 'e';
                if (pick(2)) weight += '-';
                weight += digitsOf(1 + pick(1), false);
            }
            const double value = cLocaleStrtod(weight);
            if (std::fabs(value) >= 214748.0) continue;
            const char* spaces[] = {" ", "\n", "\t\t", "\r\n", "  \v "};
            for (const std::string& field : {std::to_string(i), std::string("1"), weight}) {
                text += spaces[pick(5)];
                text += field;
            }
            expected.push_back({i, 1, value});
        }
        text.replace(text.find(' ') + 1, std::to_string(count).size(), std::to_string(expected.size()));
        const ListRead list = readText(text, 1 + pick(48));
        ASSERT_FALSE(list.error) << list.error->what << "\n" << text;
        ASSERT_TRUE(sameRelations(list.relations, expected)) << text;
    }
}

// The short forms that the reader takes in one go, at and just past their
// limits, with every kind of whitespace after them: read one relation at a
// time and in batches, through windows that cut them anywhere, they must
// give what strtol and strtod give.
TEST(RelationList, ShortFormsAtTheirLimits) {
    const char* persons[] = {"0",        "7",         "12345678", "123456789", "-5", "+5",
                             "-12345678", "00000000", "000000001", " \t 42"};
    const char* weights[] = {"0.5",       "-0.5", "9.999999", "9.9999999", "5.",   "-5.",    "0.0",
                             "-0.0",      "+1.5", "1.5e1",    "10.5",      "-9.000001", "123456.1234567"};
    const char* ends[] = {" ", "\t", "\n", "\r\n", "\v", "\f"};
    std::string text;
    std::vector<Relation> expected;
    std::size_t end = 0;
    for (const char* person : persons) {
        for (const char* weight : weights) {
            const auto number = static_cast<std::int32_t>(std::strtol(person, nullptr, 10));
            for (const char* field : {person, person, weight}) text += std::string(field) + ends[end++ % 6];
            expected.push_back({number, number, cLocaleStrtod(weight)});
        }
    }
    text = "9 " + std::to_string(expected.size()) + "\n" + text;
    for (const std::size_t capacity : {std::size_t{1}, std::size_t{7}, std::size_t{64}, ByteInput::kDefaultCapacity}) {
        for (const std::size_t batch : {std::size_t{1}, expected.size()}) {
            const ListRead list = readText(text, capacity, Source::File, batch);
            ASSERT_FALSE(list.error) << list.error->what;
            EXPECT_TRUE(sameRelations(list.relations, expected)) << "window of " << capacity << ", batches of " << batch;
        }
    }
}

}  // namespace
}  // namespace datmos
