#include "data_file.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>

namespace datmos {
namespace {

char* appendText(char* out, std::string_view text) {
    std::memcpy(out, text.data(), text.size());
    return out + text.size();
}

// The eight decimal digits of value (below 10^8), leading zeros included,
// one per byte with the first in the lowest byte. The value is split into
// halves of four digits, then quarters of two, then digits, all lanes at
// once: multiplying by 10486 / 2^20 divides by 100 exactly below 10^4, and
// by 103 / 2^10 divides by 10 exactly below 100.
std::uint64_t eightDigits(std::uint32_t value) {
    std::uint64_t lanes = (value / 10000) | (std::uint64_t{value % 10000} << 32);
    const std::uint64_t hundreds = ((lanes * 10486) >> 20) & 0x0000007F0000007F;
    lanes = hundreds | ((lanes - hundreds * 100) << 16);
    const std::uint64_t tens = ((lanes * 103) >> 10) & 0x000F000F000F000F;
    return tens | ((lanes - tens * 10) << 8);
}

// Writes the eight bytes of digits, the first `skipped` of them dropped.
char* appendDigits(char* out, std::uint64_t digits, int skipped) {
    std::uint64_t text = (digits >> (8 * skipped)) + 0x3030303030303030;
    if constexpr (std::endian::native == std::endian::big) text = __builtin_bswap64(text);
    std::memcpy(out, &text, sizeof text);
    return out + 8 - skipped;
}

// A value below 10^8, without leading zeros.
char* appendShort(char* out, std::uint32_t value) {
    const std::uint64_t digits = eightDigits(value);
    return appendDigits(out, digits, digits == 0 ? 7 : std::countr_zero(digits) / 8);
}

// Plain decimal with no padding. Writes up to 8 bytes past what it returns.
[[gnu::always_inline]] inline char* appendInteger(char* out, std::int64_t value) {
    constexpr std::uint64_t kHundredMillion = 100000000;
    auto magnitude = static_cast<std::uint64_t>(value);
    if (magnitude < kHundredMillion) return appendShort(out, static_cast<std::uint32_t>(magnitude));  // most numbers
    if (value < 0) {
        *out++ = '-';
        magnitude = 0 - magnitude;
    }
    if (magnitude < kHundredMillion) return appendShort(out, static_cast<std::uint32_t>(magnitude));
    out = appendInteger(out, static_cast<std::int64_t>(magnitude / kHundredMillion));
    return appendDigits(out, eightDigits(static_cast<std::uint32_t>(magnitude % kHundredMillion)), 0);
}

constexpr auto kDigitPairs = [] {
    std::array<char, 200> pairs{};
    for (std::size_t i = 0; i < 100; ++i) {
        pairs[2 * i] = static_cast<char>('0' + i / 10);
        pairs[2 * i + 1] = static_cast<char>('0' + i % 10);
    }
    return pairs;
}();

// The numbers 1 to people, each followed by one blank. A hundred numbers
// at a time share all digits but the last two: those leading digits are a
// decimal counter incremented in place once per hundred, and the last two
// come from a table, so that no number needs a conversion of its own.
void writeNames(ByteOutput& output, std::int32_t people) {
    for (std::int32_t n = 1; n <= std::min(people, 99); ++n) {
        char* out = appendInteger(output.reserve(32), n);
        *out++ = ' ';
        output.commit(out);
    }
    // The leading digits end at position 16 and are copied as a fixed 8
    // bytes (they are at most 8), of which only their own count.
    char counter[24];
    std::memset(counter, '0', sizeof counter);
    char* const counterEnd = counter + 16;
    char* leading = counterEnd - 1;
    *leading = '1';
    constexpr std::size_t kBlockBytes = 100 * (8 + 3) + 8;
    // After a failed write nothing more reaches the file: stop early then.
    for (std::int64_t first = 100; first <= people && output.error() == 0; first += 100) {
        const auto length = static_cast<std::size_t>(counterEnd - leading);
        const std::int64_t count = std::min<std::int64_t>(100, people - first + 1);
        char* out = output.reserve(kBlockBytes);
        for (std::int64_t pair = 0; pair < count; ++pair) {
            std::memcpy(out, leading, 8);
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

std::optional<std::int32_t> scaleWeight(double weight) {
    const double product = weight * 10000.0;  // rounded to binary64
    // Beyond 2^32 (or NaN) the exact product is far outside 32 bits.
    if (!(std::fabs(product) < 4294967296.0)) return std::nullopt;
    auto truncated = static_cast<std::int64_t>(product);  // toward zero
    if (static_cast<double>(truncated) == product) {
        // A whole rounded product may stand for an exact one just short of
        // it: fma gives the rounding error exactly, and its sign tells.
        const double error = std::fma(weight, 10000.0, -product);
        if (product > 0 && error < 0) --truncated;
        if (product < 0 && error > 0) ++truncated;
    }
    if (truncated < std::numeric_limits<std::int32_t>::min() || truncated > std::numeric_limits<std::int32_t>::max()) {
        return std::nullopt;
    }
    return static_cast<std::int32_t>(truncated);
}

void writeHead(ByteOutput& output, std::int32_t people) {
    output.append("people: ");
    output.commit(appendInteger(output.reserve(20), people));
    output.append("\nVarErr: 0.5\nNames: [\n");
    writeNames(output, people);
    output.append("]\nMrel: [\n");
}

void writeRelation(ByteOutput& output, const Relation& relation) {
    const std::int32_t scaled = scaleWeight(relation.weight).value_or(std::numeric_limits<std::int32_t>::min());
    char* out = output.reserve(64);
    out = appendText(out, "( ");
    out = appendInteger(out, std::int64_t{relation.first} + 1);
    out = appendText(out, " , ");
    out = appendInteger(out, std::int64_t{relation.second} + 1);
    out = appendText(out, " ) ");
    out = appendInteger(out, scaled);
    *out++ = '\n';
    output.commit(out);
}

void writeTail(ByteOutput& output) { output.append("]\n"); }

}  // namespace datmos
