// A plain decimal weight scaled into the data file's units straight from
// its digits, where that surely gives what scaling its double would.
//
// The data file carries the weight times 10000 truncated toward zero, not
// the double. For a decimal D = digits * 10^power, let T = D * 10000, the
// decimal scaled. The double nearest D is within |D| * 2^-53 of it, and
// scaleWeight multiplies that double by 10000 exactly, so the scaled
// double lies within |T| * 2^-53 of T: below 2^-22 when |T| < 2^31. Its
// truncation is therefore the truncation of T unless T lies that close to
// a whole number. T's whole part and fraction are the digits split at the
// fourth digit after the point: the whole part is the answer wherever the
// fraction stays more than a margin of 2^-21 (twice the bound) away from 0
// and from 1. A decimal with at most four digits after the point scales to
// a whole number exactly and never qualifies (0.3 gives 2999, as its
// double lies below it): the shortcut pays on long decimals, whose double
// would otherwise need the 128-bit conversion and the exact scaling.
//
// Integer arithmetic only, so the same on every platform.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>

namespace datmos {
namespace decimal_scaling_detail {

// The digits after the point beyond the four that the scale keeps: from 1
// to 19, as 10^19 is the largest power of ten below 2^64.
inline constexpr int kMostCutDigits = 19;

inline constexpr std::uint64_t powerOfTen(int exponent) {
    std::uint64_t power = 1;
    for (int i = 0; i < exponent; ++i) power *= 10;
    return power;
}

// 10^cut, the unit of what the scale cuts off, and the margin that its
// rest must keep from 0 and from the unit: 10^cut * 2^-21 rounded down, as
// a rest of one more lies beyond it.
inline constexpr auto kUnits = [] {
    std::array<std::uint64_t, kMostCutDigits + 1> units{};
    for (int cut = 0; cut <= kMostCutDigits; ++cut) units[static_cast<std::size_t>(cut)] = powerOfTen(cut);
    return units;
}();
inline constexpr int kMarginBits = 21;

}  // namespace decimal_scaling_detail

// The scaled weight of the decimal digits * 10^power (digits below 10^19,
// negative for a leading "-"), where it follows from the digits alone;
// nothing where the double and scaleWeight must decide: a decimal with
// four or fewer digits after the point, one whose scaled value lies within
// the margin of a whole number, or one of 214748.3647 or more in magnitude.
inline std::optional<std::int32_t> scaleDecimal(std::uint64_t digits, int power, bool negative) {
    using namespace decimal_scaling_detail;
    const int cut = -(power + 4);  // digits below the data file's unit
    if (cut < 1 || cut > kMostCutDigits) return std::nullopt;
    const auto index = static_cast<std::size_t>(cut);
    // One division by a power of ten not known when compiled: in a
    // micro-benchmark as fast as a multiplication chosen by the power, and
    // with the checks a quarter of the time of the double's conversion
    // and exact scaling.
    const std::uint64_t whole = digits / kUnits[index];
    const std::uint64_t rest = digits % kUnits[index];
    const std::uint64_t margin = kUnits[index] >> kMarginBits;
    if (rest <= margin || kUnits[index] - rest <= margin) return std::nullopt;
    if (whole > static_cast<std::uint64_t>(std::numeric_limits<std::int32_t>::max())) return std::nullopt;
    const auto magnitude = static_cast<std::int32_t>(whole);
    return negative ? -magnitude : magnitude;
}

}  // namespace datmos
