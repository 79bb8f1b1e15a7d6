// The scaling of weights into the data file's whole units: the rule that
// the reader uses to refuse the weights the data file can't carry, and the
// writer uses to write them.
#pragma once

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>

namespace datmos {

// The data file carries weights in units of 1/10000.
inline constexpr double kWeightScale = 10000.0;

// Every weight of smaller magnitude scales into 32 bits (2^31 / 10^4 is
// 214748.3648), so that only larger ones need the exact test.
inline constexpr double kSurelyScalable = 214748.0;
// Products of this magnitude (2^32) or more are far outside 32 bits.
inline constexpr double kFarBeyond32Bits = 4294967296.0;

// The exact value of weight * 10000 minus whole, or a number of the same
// sign, where whole is that product truncated toward zero (so 0, or within
// a factor 2 of it). weight is split into a high part of 26 significant
// bits and the rest of 27 bits: times 10000 (14 bits) both are exact, the
// high one is also within a factor 2 of whole (or whole is 0), so that
// subtracting whole from it is exact too (Sterbenz's lemma), and the final
// sum is rounded with its sign kept. This is the error of a product worked
// out as in Dekker's exact multiplication (TwoProduct), with the split made
// by clearing the low bits and no split needed for 10000. Plain arithmetic:
// no call to a fused multiply-add.
inline double beyondWhole(double weight, std::int64_t whole) {
    const auto bits = std::bit_cast<std::uint64_t>(weight);
    const double high = std::bit_cast<double>(bits & ~((std::uint64_t{1} << 27) - 1));
    const double low = weight - high;
    return (high * kWeightScale - static_cast<double>(whole)) + low * kWeightScale;
}

// The exact product of weight and kWeightScale, truncated toward zero;
// nothing when that has no signed 32-bit value (infinities and NaN
// included).
inline std::optional<std::int32_t> scaleWeight(double weight) {
    const double product = weight * kWeightScale;  // rounded to binary64
    // Beyond 2^32 (or NaN) the exact product is far outside 32 bits.
    if (!(std::fabs(product) < kFarBeyond32Bits)) return std::nullopt;
    auto truncated = static_cast<std::int64_t>(product);  // toward zero
    // Rounding may have carried the product up to a whole number that the
    // exact product falls just short of; then the exact product lies on
    // the near side of `truncated`, which is one step too far. Worked out
    // without branches, as such products come mixed with the others.
    const double beyond = beyondWhole(weight, truncated);
    truncated -= static_cast<std::int64_t>(weight > 0) & static_cast<std::int64_t>(beyond < 0);
    truncated += static_cast<std::int64_t>(weight < 0) & static_cast<std::int64_t>(beyond > 0);
    if (truncated < std::numeric_limits<std::int32_t>::min() || truncated > std::numeric_limits<std::int32_t>::max()) {
        return std::nullopt;
    }
    return static_cast<std::int32_t>(truncated);
}

// Whether a weight has a scaled value.
inline bool weightScales(double weight) {
    return std::fabs(weight) < kSurelyScalable || scaleWeight(weight).has_value();
}

}  // namespace datmos
