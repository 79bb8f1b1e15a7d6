#include "data_file.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>

#include "weight_scale.h"

namespace datmos {
namespace {

char* appendText(char* out, std::string_view text) {
    std::memcpy(out, text.data(), text.size());
    return out + text.size();
}

// The four decimal digits of every number below 10^4, leading zeros
// included, the first digit in the lowest byte.
constexpr auto kFourDigits = [] {
    std::array<std::uint32_t, 10000> table{};
    for (std::uint32_t n = 0; n < 10000; ++n) {
        table[n] = (n / 1000 + '0') | (n / 100 % 10 + '0') << 8 | (n / 10 % 10 + '0') << 16 | (n % 10 + '0') << 24;
    }
    return table;
}();

// The eight digits of a value below 10^8, leading zeros included, as the
// bytes of one word with the first digit in the lowest byte.
std::uint64_t eightDigits(std::uint32_t value) {
    return kFourDigits[value / 10000] | std::uint64_t{kFourDigits[value % 10000]} << 32;
}

// The number of decimal digits of value (1 for 0): the integer base-10
// logarithm found from the base-2 one (the count of leading zero bits), in
// the one-addition form known as Willets' digit-count table. Within each
// power of two the count can change only at one power of ten P; the table,
// indexed by the count of leading zero bits, adds 2^32 - P to the value, so
// that the carry into the upper half says whether it reached P.
constexpr auto kDigitCountSteps = [] {
    std::array<std::uint64_t, 32> table{};
    for (int zeros = 0; zeros < 32; ++zeros) {
        const std::uint64_t lowest = std::uint64_t{1} << (31 - zeros);
        std::uint64_t digits = 1;
        std::uint64_t power = 10;
        while (power <= lowest) {
            ++digits;
            power *= 10;
        }
        std::uint64_t& step = table[static_cast<std::size_t>(zeros)];
        step = digits << 32;
        if (power < 2 * lowest) step += (std::uint64_t{1} << 32) - power;
    }
    return table;
}();

int decimalDigits(std::uint32_t value) {
    const auto zeros = static_cast<std::size_t>(std::countl_zero(value | 1));
    return static_cast<int>((value + kDigitCountSteps[zeros]) >> 32);
}

// Digits are stored as one 8-byte word however many of them are kept.
constexpr std::size_t kDigitCopyBytes = sizeof(std::uint64_t);

// Writes the last `count` of the eight digit bytes (all 8 bytes are
// stored; only `count` are kept).
char* appendDigits(char* out, std::uint64_t digits, int count) {
    std::uint64_t text = digits >> (8 * (8 - count));
    if constexpr (std::endian::native == std::endian::big) text = __builtin_bswap64(text);
    std::memcpy(out, &text, sizeof text);
    return out + count;
}

// A value below 10^8, without leading zeros. The digit count comes from
// the value, not from the digits, so that the output position does not
// wait for the table loads.
char* appendShort(char* out, std::uint32_t value) {
    return appendDigits(out, eightDigits(value), decimalDigits(value));
}

// 10^8: the values of eight digits are those below it.
constexpr std::uint64_t kHundredMillion = 100000000;

// Room for appendInteger: a sign, the digits of the largest 64-bit
// magnitude (2^63 has 19), and what an 8-byte copy may store past them.
constexpr std::size_t kIntegerRoom = 1 + (std::numeric_limits<std::int64_t>::digits10 + 1) + kDigitCopyBytes;

// Plain decimal with no padding. Writes up to 8 bytes past what it returns.
inline char* appendInteger(char* out, std::int64_t value) {
    // The sign is written always and kept only for a negative value, so
    // that a mix of signs costs no mispredicted branch.
    *out = '-';
    out += value < 0;
    // The two's complement negation of a negative value: no wrap-around,
    // even for the lowest.
    std::uint64_t magnitude = value < 0 ? ~static_cast<std::uint64_t>(value) + 1 : static_cast<std::uint64_t>(value);
    if (magnitude < kHundredMillion) return appendShort(out, static_cast<std::uint32_t>(magnitude));  // most numbers
    out = appendInteger(out, static_cast<std::int64_t>(magnitude / kHundredMillion));
    return appendDigits(out, eightDigits(static_cast<std::uint32_t>(magnitude % kHundredMillion)), 8);
}

// Numbers are written in blocks of a hundred that differ only in their
// last two digits.
constexpr int kBlockNumbers = 100;

// The two digits "00" to "99", one after the other.
constexpr auto kDigitPairs = [] {
    std::array<char, std::size_t{2} * kBlockNumbers> pairs{};
    for (std::size_t i = 0; i < kBlockNumbers; ++i) {
        pairs[2 * i] = static_cast<char>('0' + i / 10);
        pairs[2 * i + 1] = static_cast<char>('0' + i % 10);
    }
    return pairs;
}();

// The numbers 1 to people, each followed by one blank. A hundred numbers
// at a time share all digits but the last two: those leading digits are a
// decimal counter incremented in place once per hundred, and the last two
// come from a table, so that no number needs a conversion of its own.
// Its own function, whose loops start on a 32-byte boundary: the inner one
// then fits one fetch line however the code around it moves (left to
// chance, an edit elsewhere made the names line of 20 million people take
// 1.09 times as long).
#if defined(__GNUC__) && !defined(__clang__)
[[gnu::noinline, gnu::optimize("align-loops=32")]]
#endif
void writeNames(ByteOutput& output, std::int32_t people) {
    for (std::int32_t n = 1; n <= std::min(people, kBlockNumbers - 1); ++n) {
        char* out = appendInteger(output.reserve(kIntegerRoom + 1), n);  // and the blank
        *out++ = ' ';
        output.commit(out);
    }
    // The leading digits are those of the largest count but the last two.
    // They are copied as one 8-byte word, of which only their own count is
    // kept: the counter holds the most of them, right-aligned at counterEnd,
    // and the 7 bytes past it that the copy of a lone leading digit reads.
    constexpr std::size_t kMostLeading = std::numeric_limits<std::int32_t>::digits10 + 1 - 2;
    static_assert(kMostLeading <= kDigitCopyBytes, "the leading digits must fit one copy");
    char counter[kMostLeading + kDigitCopyBytes - 1];
    std::memset(counter, '0', sizeof counter);
    char* const counterEnd = counter + kMostLeading;
    char* leading = counterEnd - 1;
    *leading = '1';
    // Each number: its leading digits, the last two and a blank; the last
    // copy may store past them.
    constexpr std::size_t kBlockBytes = kBlockNumbers * (kMostLeading + 2 + 1) + kDigitCopyBytes;
    // After a failed write nothing more reaches the file: stop early then.
    for (std::int64_t first = kBlockNumbers; first <= people && output.error() == 0; first += kBlockNumbers) {
        const auto length = static_cast<std::size_t>(counterEnd - leading);
        const std::int64_t count = std::min<std::int64_t>(kBlockNumbers, people - first + 1);
        char* out = output.reserve(kBlockBytes);
        for (std::int64_t pair = 0; pair < count; ++pair) {
            std::memcpy(out, leading, kDigitCopyBytes);
            std::memcpy(out + length, &kDigitPairs[static_cast<std::size_t>(2 * pair)], 2);
            out[length + 2] = ' ';
            out += length + 3;
        }
        output.commit(out);
        char* digit = counterEnd - 1;
        while (*digit == '9') *digit-- = '0';
        ++*digit;
        leading = std::min(leading, digit);
    }
}

}  // namespace

void writeHead(ByteOutput& output, std::int32_t people) {
    output.append("people: ");
    output.commit(appendInteger(output.reserve(kIntegerRoom), people));
    output.append("\nVarErr: 0.5\nNames: [\n");
    writeNames(output, people);
    output.append("]\nMrel: [\n");
}

namespace {

// The longest line, and what the digits' 8-byte copies may store past it.
constexpr std::size_t kLineRoom = kRelationLineRoom;
static_assert(kLineRoom >= sizeof "( -2147483647 , -2147483647 ) -2147483648\n" - 1 + kDigitCopyBytes);

// A person's 1-based number: nearly always positive and below 10^8.
[[gnu::always_inline]] inline char* appendPerson(char* out, std::int32_t person) {
    const std::int64_t number = std::int64_t{person} + 1;
    if (static_cast<std::uint64_t>(number) < kHundredMillion) [[likely]] {
        return appendShort(out, static_cast<std::uint32_t>(number));
    }
    return appendInteger(out, number);
}

[[gnu::always_inline]] inline char* appendRelationLine(char* out, const ScaledRelation& relation) {
    out = appendText(out, "( ");
    out = appendPerson(out, relation.first);
    out = appendText(out, " , ");
    out = appendPerson(out, relation.second);
    out = appendText(out, " ) ");
    out = appendInteger(out, relation.scaledWeight);
    *out++ = '\n';
    return out;
}

[[gnu::always_inline]] inline char* appendRelationLine(char* out, const Relation& relation) {
    const std::int32_t scaled = scaleWeight(relation.weight).value_or(std::numeric_limits<std::int32_t>::min());
    return appendRelationLine(out, ScaledRelation{relation.first, relation.second, scaled});
}

// Room for many lines at once keeps the output position in a register.
template <typename Record>
void writeRecords(ByteOutput& output, std::span<const Record> relations) {
    constexpr std::size_t kLinesAtOnce = ByteOutput::kMinimumCapacity / kLineRoom;
    while (!relations.empty()) {
        const std::size_t count = std::min(relations.size(), kLinesAtOnce);
        char* out = output.reserve(count * kLineRoom);
        for (const Record& relation : relations.first(count)) out = appendRelationLine(out, relation);
        output.commit(out);
        relations = relations.subspan(count);
    }
}

}  // namespace

void writeRelation(ByteOutput& output, const Relation& relation) {
    output.commit(appendRelationLine(output.reserve(kLineRoom), relation));
}

void writeRelations(ByteOutput& output, std::span<const Relation> relations) { writeRecords(output, relations); }

void writeRelations(ByteOutput& output, std::span<const ScaledRelation> relations) { writeRecords(output, relations); }

char* appendRelationLines(char* out, std::span<const Relation> relations) {
    for (const Relation& relation : relations) out = appendRelationLine(out, relation);
    return out;
}

char* appendRelationLines(char* out, std::span<const ScaledRelation> relations) {
    for (const ScaledRelation& relation : relations) out = appendRelationLine(out, relation);
    return out;
}

void writeTail(ByteOutput& output) { output.append("]\n"); }

}  // namespace datmos
