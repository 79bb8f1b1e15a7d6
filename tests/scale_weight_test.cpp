// The weight scaling, weight * 10000 truncated toward zero, on known values
// and across the bounds of the 32-bit range, checked with the exact
// references as well (exactness_test.cpp checks it at scale).
#include <cmath>
#include <gtest/gtest.h>
#include <limits>
#include <optional>

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

}  // namespace
}  // namespace datmos
