#include <cmath>
#include <gtest/gtest.h>
#include <limits>
#include <optional>

#include "weight_scale.h"

namespace datmos {
namespace {

TEST(ScaleWeight, TruncatesTheExactProduct) {
    // The decimals whose binary64 value lies just below them give one less
    // than a product rounded to binary64 would.
    const struct {
        double weight;
        std::int32_t scaled;
    } cases[] = {
        {0.5, 5000},      {0.1, 1000},       {0.3, 2999},         {0.6, 5999},  {0.7, 6999},
        {0.1234, 1233},   {-0.3, -2999},     {0.0001, 1},         {0.00005, 0}, {-0.00005, 0},
        {1.0, 10000},     {0.0, 0},          {-0.0, 0},           {4.9e-324, 0}, {-4.9e-324, 0},
        {214748.3647, 2147483647},           {-214748.3648, -2147483647 - 1},
        {1.1, 11000},     {2.675, 26749},    {-2.675, -26749},    {123.45, 1234500},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(scaleWeight(c.weight), std::optional<std::int32_t>(c.scaled)) << c.weight;
    }
}

TEST(ScaleWeight, RefusesWhatHasNo32BitValue) {
    const double cases[] = {
        214748.3648,
        -214748.3650,
        1e300,
        -1e300,
        std::numeric_limits<double>::infinity(),
        -std::numeric_limits<double>::infinity(),
        std::numeric_limits<double>::quiet_NaN(),
        std::numeric_limits<double>::max(),
    };
    for (const double weight : cases) EXPECT_EQ(scaleWeight(weight), std::nullopt) << weight;
}

TEST(ScaleWeight, BoundsOfThe32BitRange) {
    // Walk a few representable weights across each bound; the exact product
    // decides, so compare with a product worked out in long double where it
    // is exact (x86-64).
#if !defined(__x86_64__)
    GTEST_SKIP() << "needs the 80-bit long double of x86-64";
#endif
    const double bounds[] = {214748.3647, 214748.3648, -214748.3648, -214748.3649};
    for (const double bound : bounds) {
        double weight = bound;
        for (int step = 0; step < 8; ++step) weight = std::nextafter(weight, 0.0);
        for (int step = 0; step < 16; ++step, weight = std::nextafter(weight, bound * 2)) {
            const long double exact = std::trunc(static_cast<long double>(weight) * 10000.0L);
            const bool fits = exact >= -2147483648.0L && exact <= 2147483647.0L;
            ASSERT_EQ(scaleWeight(weight).has_value(), fits) << weight;
            if (fits) {
                EXPECT_EQ(*scaleWeight(weight), static_cast<std::int32_t>(exact)) << weight;
            }
        }
    }
}

}  // namespace
}  // namespace datmos
