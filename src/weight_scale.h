// The scaling of weights into the data file's whole units: the rule that
// the reader uses to refuse weights the data file can't carry and the
// writer uses to write them.
#pragma once

#include <cmath>
#include <cstdint>
#include <optional>

namespace datmos {

// The data file carries weights in units of 1/10000.
inline constexpr double kWeightScale = 10000.0;

// The exact product of weight and kWeightScale, truncated toward zero;
// nothing when that has no signed 32-bit value (infinities and NaN
// included).
std::optional<std::int32_t> scaleWeight(double weight);

// Every weight of smaller magnitude scales into 32 bits: 2^31 / 10^4 is
// 214748.3648.
inline constexpr double kSurelyScalable = 214748.0;

inline bool weightScales(double weight) {
    return std::fabs(weight) < kSurelyScalable || scaleWeight(weight).has_value();
}

}  // namespace datmos
