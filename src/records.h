// The records that pass from the reader to the writer.
#pragma once

#include <cstdint>
#include <limits>

namespace datmos {

// The two counts at the head of a relation list.
struct ListHeader {
    std::int32_t people = 0;
    std::int32_t relationCount = 0;
};

// One weighted relation between two people, numbered from 0 as the
// relation list gives them.
struct Relation {
    std::int32_t first = 0;
    std::int32_t second = 0;
    double weight = 0.0;
};

// A relation on its way to the data file: its weight already scaled into
// the data file's units (weight_scale.h), which is all the file carries.
struct ScaledRelation {
    std::int32_t first = 0;
    std::int32_t second = 0;
    std::int32_t scaledWeight = 0;
};

// The largest person number a relation may hold: its 1-based successor,
// which the data file carries, must have a 32-bit value too.
inline constexpr std::int32_t kLargestPerson = std::numeric_limits<std::int32_t>::max() - 1;

}  // namespace datmos
