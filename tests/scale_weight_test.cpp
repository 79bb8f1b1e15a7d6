// The weight scaling, weight * 10000 truncated toward zero, on known values
// and across the bounds of the 32-bit range, checked with the exact
// references as well (exactness_test.cpp checks it at scale); and the
// scaling of plain decimals from their digits against it.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <gtest/gtest.h>
#include <limits>
#include <optional>
#include <random>
#include <string>

#include "decimal_scaling.h"
#include "exact_scaling.h"
#include "weight_scale.h"

namespace datmos {
namespace {

constexpr std::int32_t kInt32Min = std::numeric_limits<std::int32_t>::min();
constexpr std::int32_t kInt32Max = std::numeric_limits<std::int32_t>::max();

// The scaled value, or none, from scaleWeight and from each reference.
void expectScaled(double weight, std::optional<std::int32_t> scaled) {
    EXPECT_EQ(scaleWeight(weight), scaled) << weight;
    EXPECT_EQ(reference::exactScaledWeight(weight), scaled) << weight;
#if defined(__x86_64__)
    EXPECT_EQ(reference::extendedScaledWeight(weight), scaled) << weight;
#endif
}

TEST(ScaleWeight, KnownValues) {
    constexpr double kInfinity = std::numeric_limits<double>::infinity();
    // The decimals whose binary64 value lies just below them give one less
    // than a product rounded to binary64 would.
    const struct {
        double weight;
        std::optional<std::int32_t> scaled;
    } cases[] = {
        {0.5, 5000},      {0.1, 1000},       {0.3, 2999},         {0.6, 5999},  {0.7, 6999},
        {0.1234, 1233},   {-0.3, -2999},     {0.0001, 1},         {0.00005, 0}, {-0.00005, 0},
        {1.0, 10000},     {0.0, 0},          {-0.0, 0},           {4.9e-324, 0}, {-4.9e-324, 0},
        {1.1, 11000},     {2.675, 26749},    {-2.675, -26749},    {123.45, 1234500},
        {214748.3647, kInt32Max},            {-214748.3648, kInt32Min},
        // The binary64 value of -214748.3649 lies just short of it.
        {-214748.3649, kInt32Min},
        // No 32-bit value.
        {214748.3648, std::nullopt},         {-214748.3650, std::nullopt},
        {1e300, std::nullopt},               {-1e300, std::nullopt},
        {kInfinity, std::nullopt},           {-kInfinity, std::nullopt},
        {std::numeric_limits<double>::quiet_NaN(), std::nullopt},
        {std::numeric_limits<double>::max(), std::nullopt},
    };
    for (const auto& c : cases) expectScaled(c.weight, c.scaled);
}

// A few representable weights on each side of each bound: the exact
// product decides.
TEST(ScaleWeight, BoundsOfThe32BitRange) {
    for (const double bound : {214748.3647, 214748.3648, -214748.3648, -214748.3649}) {
        double weight = bound;
        for (int step = 0; step < 8; ++step) weight = std::nextafter(weight, 0.0);
        for (int step = 0; step < 16; ++step, weight = std::nextafter(weight, bound * 2)) {
            expectScaled(weight, reference::exactScaledWeight(weight));
        }
    }
}

// What the data file carries for a decimal digits * 10^power: the exact
// scaling of the double that the C library reads for it.
std::optional<std::int32_t> scaledDouble(std::uint64_t digits, int power, bool negative) {
    const std::string text = (negative ? "-" : "") + std::to_string(digits) + "e" + std::to_string(power);
    return reference::exactScaledWeight(std::strtod(text.c_str(), nullptr));
}

// Decimals on both sides of a whole scaled value, within a few units of
// 10^-19 of it, where the double lies on the other side; and ordinary
// ones, which the digits decide.
TEST(ScaleDecimal, DefersWithinTheMarginOfAWholeNumber) {
    const struct {
        std::uint64_t digits;
        int power;
        bool decided;  // by the digits alone
    } cases[] = {
        {9999999999999999999U, -20, false},  // 0.0999...9: its double is 0.1's, scaled 1000, not 999
        {3000000000000000001U, -19, false},  // 0.3000...01: its double is 0.3's, scaled 2999, not 3000
        {5999999999999999999U, -19, false},  // 0.5999...9: scaled 5999 either way, still too close to say
        {3, -1, false},                      // 0.3: four digits or fewer after the point
        {30001, -5, true},                   // 0.30001
        {8444218515250481U, -16, true},      // 0.8444218515250481
        {10333333333333334U, -15, true},     // 10.333333333333334
        {2147483647123U, -8, true},          // 21474.83647123
        {2147483647500U, -7, true},          // 214748.3647500: the largest whole part
        {2147483648500U, -7, false},         // 214748.3648500: no 32-bit value
        {12, -24, false},                    // beyond 19 digits below the unit
    };
    for (const auto& c : cases) {
        for (const bool negative : {false, true}) {
            const std::optional<std::int32_t> scaled = scaleDecimal(c.digits, c.power, negative);
            EXPECT_EQ(scaled.has_value(), c.decided) << c.digits << "e" << c.power;
            if (scaled) {
                EXPECT_EQ(scaled, scaledDouble(c.digits, c.power, negative)) << c.digits << "e" << c.power;
            }
        }
    }
}

// Random decimals of every length below the unit, most with the rest
// below the unit within a few margins of 0 or of the unit: wherever the
// digits decide, they decide as the double does.
TEST(ScaleDecimal, AgreesWithTheDoubleWhereverItDecides) {
    std::mt19937_64 random(std::random_device{}());
    std::uint64_t decided = 0;
    std::uint64_t wholePartWrong = 0;  // where taking the whole part regardless would err
    int mismatches = 0;
    for (int i = 0; i < 400'000; ++i) {
        const int cut = 1 + static_cast<int>(random() % 19);
        std::uint64_t unit = 1;
        for (int d = 0; d < cut; ++d) unit *= 10;
        // Whole parts up to 2^31, such that the digits stay below 10^19.
        const std::uint64_t whole = random() % std::min<std::uint64_t>(2147483648U, 10'000'000'000'000'000'000U / unit);
        const std::uint64_t near = random() % (4 * (unit >> 21) + 4);
        const std::uint64_t rest = i % 4 == 0 ? random() % unit : (i % 4 == 1 ? near % unit : unit - 1 - near % unit);
        const std::uint64_t digits = whole * unit + rest;
        const bool negative = (random() & 1) != 0;
        const int power = -(cut + 4);
        const std::optional<std::int32_t> expected = scaledDouble(digits, power, negative);
        const auto wholePart = static_cast<std::int64_t>(whole);
        if (!expected || *expected != (negative ? -wholePart : wholePart)) ++wholePartWrong;
        const std::optional<std::int32_t> scaled = scaleDecimal(digits, power, negative);
        if (!scaled) continue;
        ++decided;
        if (scaled != expected && ++mismatches <= 10) {
            ADD_FAILURE() << (negative ? "-" : "") << digits << "e" << power << ": " << *scaled << ", the double gives "
                          << (expected ? std::to_string(*expected) : "none");
        }
    }
    EXPECT_GT(decided, 100'000U);
    EXPECT_GT(wholePartWrong, 2'000U);
}

}  // namespace
}  // namespace datmos
