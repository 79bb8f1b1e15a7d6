// The exact product of a weight and 10000, truncated toward zero, worked
// out on the integer significand (and on x86-64 in the x87 extended
// format too), as the references that the tests and the fuzz target check
// the converter's scaling against.
#pragma once

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>

namespace datmos::reference {

// weight * 10000 = significand * 625 * 2^(exponent + 4), where
// significand * 625 < 2^63 is exact in 64 bits. Nothing when the result has
// no signed 32-bit value (infinities and NaN included).
inline std::optional<std::int32_t> exactScaledWeight(double weight) {
    if (!std::isfinite(weight)) return std::nullopt;
    const auto bits = std::bit_cast<std::uint64_t>(weight);
    const bool negative = (bits >> 63) != 0;
    const int biased = static_cast<int>((bits >> 52) & 0x7FF);
    std::uint64_t significand = bits & ((std::uint64_t{1} << 52) - 1);
    int exponent = -1074;
    if (biased != 0) {
        significand |= std::uint64_t{1} << 52;
        exponent = biased - 1075;
    }
    const std::uint64_t odd = significand * 625;
    const int shift = exponent + 4;
    const std::uint64_t limit = negative ? std::uint64_t{1} << 31 : (std::uint64_t{1} << 31) - 1;
    std::uint64_t truncated = 0;
    if (shift >= 0) {
        if (odd != 0 && (shift >= 32 || odd > (limit >> shift))) return std::nullopt;
        truncated = odd << shift;
    } else {
        truncated = -shift >= 64 ? 0 : odd >> -shift;
    }
    if (truncated > limit) return std::nullopt;
    const auto magnitude = static_cast<std::int64_t>(truncated);
    return static_cast<std::int32_t>(negative ? -magnitude : magnitude);
}

#if defined(__x86_64__)
// The same through the x87 extended format, whose 64-bit significand holds
// every such product exactly (53 bits times the 10 bits of 625).
inline std::optional<std::int32_t> extendedScaledWeight(double weight) {
    if (!std::isfinite(weight)) return std::nullopt;
    const long double truncated = std::trunc(static_cast<long double>(weight) * 10000.0L);
    if (truncated < static_cast<long double>(std::numeric_limits<std::int32_t>::min()) ||
        truncated > static_cast<long double>(std::numeric_limits<std::int32_t>::max())) {
        return std::nullopt;
    }
    return static_cast<std::int32_t>(truncated);
}
#endif

}  // namespace datmos::reference
