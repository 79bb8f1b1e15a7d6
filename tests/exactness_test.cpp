// Exactness of the weight scaling at scale: scaleWeight against exact
// references for ten million random doubles, and every weight with up to
// four decimals in [-1000, 1000] read from text and scaled.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cinttypes>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <optional>
#include <random>
#include <span>
#include <string>

#include "byte_input.h"
#include "decimal_value.h"
#include "exact_scaling.h"
#include "memory_file.h"
#include "read_list.h"
#include "weight_scale.h"

namespace datmos {
namespace {

constexpr std::int64_t kInt32Min = std::numeric_limits<std::int32_t>::min();
constexpr std::int64_t kInt32Max = std::numeric_limits<std::int32_t>::max();

using reference::exactScaledWeight;
#if defined(__x86_64__)
using reference::extendedScaledWeight;
#endif

std::string show(std::optional<std::int32_t> value) {
    return value ? std::to_string(*value) : std::string("none");
}

std::string describe(double weight) {
    char text[96];
    std::snprintf(text, sizeof text, "%.17g (%a, bits %016" PRIx64 ")", weight, weight,
                  std::bit_cast<std::uint64_t>(weight));
    return text;
}

// A seed from the environment to repeat a run, else a fresh one.
std::uint64_t testSeed() {
    if (const char* text = std::getenv("DATMOS_EXACTNESS_SEED")) return std::strtoull(text, nullptr, 0);
    std::random_device device;
    return (std::uint64_t{device()} << 32) | device();
}

// Where time is short (sanitizers, emulators), DATMOS_EXACTNESS_STRIDE=N
// checks every Nth case of the long sweeps, spread over the same ranges.
std::int64_t exactnessStride() {
    const char* text = std::getenv("DATMOS_EXACTNESS_STRIDE");
    const long long stride = text != nullptr ? std::atoll(text) : 1;
    return stride > 1 ? stride : 1;
}

// Collects the first few mismatches for the failure message.
class Mismatches {
public:
    void add(const std::string& what) {
        if (count_++ < 10) text_ += "\n  " + what;
    }
    std::uint64_t count() const { return count_; }
    const std::string& text() const { return text_; }

private:
    std::uint64_t count_ = 0;
    std::string text_;
};

double stepUlps(double value, int steps) {
    const double direction = steps < 0 ? -INFINITY : INFINITY;
    for (int i = 0; i < std::abs(steps); ++i) value = std::nextafter(value, direction);
    return value;
}

// Ten million doubles in four families: products within a few ulps of a
// whole number across the whole 32-bit range, products at its two bounds,
// arbitrary bit patterns (infinities, NaN, subnormals included), and
// weights of every magnitude inside the range.
TEST(ScaleWeightExactness, TenMillionRandomDoublesMatchExactProducts) {
    const std::uint64_t seed = testSeed();
    RecordProperty("seed", std::to_string(seed));
    std::mt19937_64 random(seed);
    constexpr int kPerFamily[] = {4'000'000, 2'000'000, 2'000'000, 2'000'000};
    constexpr std::int64_t kBounds[] = {kInt32Max, kInt32Max + 1, kInt32Min, kInt32Min - 1};

    Mismatches mismatches;
    std::uint64_t roundedProductWrong = 0;  // where truncating the rounded product errs
    std::uint64_t inRange = 0;
    std::uint64_t outOfRange = 0;
    for (int family = 0; family < 4; ++family) {
        for (int i = 0; i < kPerFamily[family] / exactnessStride(); ++i) {
            double weight = 0;
            switch (family) {
            case 0: {  // near a whole product: up to 10 digits, either sign
                const int digits = static_cast<int>(random() % 10) + 1;
                std::int64_t whole = static_cast<std::int64_t>(random() % 2147483650ULL);
                for (int d = digits; d < 10; ++d) whole /= 10;
                if (random() & 1) whole = -whole;
                weight = stepUlps(static_cast<double>(whole) / 10000.0, static_cast<int>(random() % 7) - 3);
                break;
            }
            case 1: {  // at the bounds of the 32-bit range
                const std::int64_t whole = kBounds[random() % 4] + static_cast<std::int64_t>(random() % 5) - 2;
                weight = stepUlps(static_cast<double>(whole) / 10000.0, static_cast<int>(random() % 129) - 64);
                break;
            }
            case 2:  // any bit pattern
                weight = std::bit_cast<double>(random());
                break;
            default: {  // any magnitude up to the range
                const double unit = std::ldexp(static_cast<double>(random() >> 11), -53);
                weight = std::ldexp(unit, static_cast<int>(random() % 1093) - 1074);
                if (random() & 1) weight = -weight;
                break;
            }
            }

            const std::optional<std::int32_t> expected = exactScaledWeight(weight);
            const std::optional<std::int32_t> actual = scaleWeight(weight);
            if (actual != expected) {
                mismatches.add(describe(weight) + ": scaleWeight " + show(actual) + ", exact " + show(expected));
            }
#if defined(__x86_64__)
            if (const auto extended = extendedScaledWeight(weight); extended != expected) {
                mismatches.add(describe(weight) + ": extended reference " + show(extended) + ", integer reference " +
                               show(expected));
            }
#endif
            if (expected) {
                ++inRange;
                if (static_cast<double>(*expected) != std::trunc(weight * 10000.0)) ++roundedProductWrong;
            } else {
                ++outOfRange;
            }
        }
    }
    EXPECT_EQ(mismatches.count(), 0U) << "seed " << seed << " (set DATMOS_EXACTNESS_SEED to repeat):"
                                      << mismatches.text();
    // The families do reach the hard cases: many weights where the rounded
    // product truncates to the wrong whole number, and both sides of the range.
    EXPECT_GT(roundedProductWrong, 100'000U / exactnessStride());
    EXPECT_GT(inRange, 4'000'000U / exactnessStride());
    EXPECT_GT(outOfRange, 1'000'000U / exactnessStride());
}

// The nearest binary64 to magnitude / 10000 (1 <= magnitude < 2^24), and
// whether it lies below that decimal, worked out in integers: the
// significand is magnitude * 2^shift / 625 rounded to nearest, taken with
// shift such that it has 53 bits. A tie needs 2 * remainder = 625, which
// cannot be, so the remainder alone tells the direction.
struct Nearest {
    double value;
    bool below;
};

Nearest nearestToDecimal(std::uint64_t magnitude) {
    constexpr std::uint64_t kSmallest = std::uint64_t{625} << 52;  // 2^52 after the division
    int shift = 62 - std::bit_width(magnitude);
    if ((magnitude << shift) < kSmallest) ++shift;
    const std::uint64_t numerator = magnitude << shift;
    const std::uint64_t quotient = numerator / 625;
    const std::uint64_t remainder = numerator % 625;
    const bool roundUp = 2 * remainder > 625;
    const double value = std::ldexp(static_cast<double>(quotient + (roundUp ? 1 : 0)), -(shift + 4));
    return {value, remainder != 0 && !roundUp};
}

// value in decimal, padded with zeros to at least `width` digits.
char* writeUnsigned(char* out, std::uint64_t value, int width = 1) {
    char digits[20];
    int count = 0;
    do {
        digits[count++] = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value != 0 || count < width);
    while (count > 0) *out++ = digits[--count];
    return out;
}

// scaled / 10000 as text, in one of four spellings of the same decimal:
// "12.5" and "0.3", "12.5000" and "0.3000", "125000e-4" and "3000e-4",
// "+12.5" and "+.3".
char* writeDecimal(char* out, std::int64_t scaled, int style) {
    const bool negative = scaled < 0;
    const auto magnitude = static_cast<std::uint64_t>(negative ? -scaled : scaled);
    if (negative) {
        *out++ = '-';
    } else if (style == 3) {
        *out++ = '+';
    }
    if (style == 2) {
        out = writeUnsigned(out, magnitude);
        return std::strcpy(out, "e-4") + 3;
    }
    const std::uint64_t whole = magnitude / 10000;
    std::uint64_t fraction = magnitude % 10000;
    if (style != 3 || whole != 0 || fraction == 0) out = writeUnsigned(out, whole);
    int decimals = 4;
    if (style != 1) {
        while (decimals > 0 && fraction % 10 == 0) {
            fraction /= 10;
            --decimals;
        }
    }
    if (decimals > 0) {
        *out++ = '.';
        out = writeUnsigned(out, fraction, decimals);
    }
    return out;
}

// Every weight n / 10000 for n from -10^7 to 10^7, written in relations
// "1 2 w", read back and scaled: the weight read is the nearest binary64,
// and its scaled value is n, or n moved one toward zero where that binary64
// lies short of the decimal.
TEST(ScaleWeightExactness, EveryFourDecimalWeightReadsAndScalesExactly) {
    constexpr std::int64_t kLimit = 10'000'000;  // 1000 in units of 1/10000
    constexpr std::int64_t kChunk = 1 << 18;
    const std::int64_t stride = exactnessStride();
    const int fd = test::emptyMemoryFile();

    Mismatches mismatches;
    std::uint64_t checked = 0;
    std::uint64_t shortOfDecimal = 0;
    const auto check = [&](std::int64_t n, const Relation& relation) {
        const std::uint64_t magnitude = static_cast<std::uint64_t>(n < 0 ? -n : n);
        Nearest nearest{0.0, false};
        if (magnitude != 0) nearest = nearestToDecimal(magnitude);
        const double expectedWeight = n < 0 ? -nearest.value : nearest.value;
        const std::int64_t expectedMagnitude = static_cast<std::int64_t>(magnitude) - (nearest.below ? 1 : 0);
        const std::int32_t expectedScaled = static_cast<std::int32_t>(n < 0 ? -expectedMagnitude : expectedMagnitude);
        shortOfDecimal += nearest.below ? 1 : 0;
        ++checked;

        if (relation.first != 1 || relation.second != 2 ||
            std::bit_cast<std::uint64_t>(relation.weight) != std::bit_cast<std::uint64_t>(expectedWeight)) {
            mismatches.add("weight " + std::to_string(n) + "/10000 read as " + describe(relation.weight) +
                           ", nearest is " + describe(expectedWeight));
        }
        const std::optional<std::int32_t> scaled = scaleWeight(relation.weight);
        if (scaled != expectedScaled) {
            mismatches.add("weight " + std::to_string(n) + "/10000 scaled to " + show(scaled) + ", exact " +
                           std::to_string(expectedScaled));
        }
    };
    std::string text;
    for (std::int64_t chunkStart = -kLimit; chunkStart <= kLimit; chunkStart += kChunk) {
        const std::int64_t chunkEnd = std::min(chunkStart + kChunk, kLimit + 1);
        const std::int64_t count = (chunkEnd - chunkStart + stride - 1) / stride;
        const std::string header = "0 " + std::to_string(count) + "\n";
        text.resize(header.size() + static_cast<std::size_t>(count) * 32);
        char* out = std::copy(header.begin(), header.end(), text.data());
        for (std::int64_t n = chunkStart; n < chunkEnd; n += stride) {
            out = std::strcpy(out, "1 2 ") + 4;
            out = writeDecimal(out, n, static_cast<int>((n % 4 + 4) % 4));
            *out++ = '\n';
        }
        text.resize(static_cast<std::size_t>(out - text.data()));
        test::replaceContents(fd, text);

        ByteInput input(fd);
        std::int64_t n = chunkStart;
        const test::ListEnd end = test::readWholeList(input, test::kBatch, [&](std::span<const Relation> relations) {
            for (const Relation& relation : relations) {
                check(n, relation);
                n += stride;
            }
        });
        if (end.error) {
            mismatches.add("weight " + std::to_string(n) + "/10000: read error at line " +
                           std::to_string(end.error->line.value_or(0)) + ": " + end.error->what);
        }
    }
    ::close(fd);
    EXPECT_GE(checked, static_cast<std::uint64_t>(2 * kLimit / stride));
    EXPECT_EQ(mismatches.count(), 0U) << mismatches.text();
    // About half of these decimals have a binary64 value short of them.
    EXPECT_GT(shortOfDecimal, static_cast<std::uint64_t>(kLimit / 2 / stride));
}

// decimalValue against the C library for random decimals of 1 to 19
// digits at every power of ten it handles and beyond, and for the ties
// between two doubles that integers above 2^53 give.
TEST(DecimalValue, EveryPowerOfTenMatchesTheCLibrary) {
    const std::uint64_t seed = testSeed();
    std::mt19937_64 random(seed);
    Mismatches mismatches;
    const auto check = [&](std::uint64_t digits, int power, const std::string& text) {
        const bool negative = (random() & 1) != 0;
        double value = 0.0;
        if (!decimalValue(digits, power, negative, value)) return;  // left to the slow way
        const double expected = negative ? -std::strtod(text.c_str(), nullptr) : std::strtod(text.c_str(), nullptr);
        if (std::bit_cast<std::uint64_t>(value) != std::bit_cast<std::uint64_t>(expected)) {
            mismatches.add((negative ? "-" : "") + text + ": " + describe(value) + ", expected " + describe(expected));
        }
    };
    for (int power = kSmallestPowerOfFive - 20; power <= kLargestPowerOfFive + 20; ++power) {
        for (int i = 0; i < 300; ++i) {
            std::uint64_t digits = 0;
            std::string text;
            for (std::uint64_t count = 1 + random() % 19; count > 0; --count) {
                const auto digit = static_cast<unsigned>(random() % 10);
                digits = digits * 10 + digit;
                text += static_cast<char>('0' + digit);
            }
            check(digits, power, text + "e" + std::to_string(power));
        }
    }
    for (std::uint64_t odd = (std::uint64_t{1} << 53) + 1; odd < (std::uint64_t{1} << 53) + 20000; odd += 2) {
        check(odd, 0, std::to_string(odd));
    }
    EXPECT_EQ(mismatches.count(), 0U) << "seed " << seed << mismatches.text();
}

}  // namespace
}  // namespace datmos
