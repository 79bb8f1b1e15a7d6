// The two records that pass from the reader to the writer.
#pragma once

#include <cstdint>

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

}  // namespace datmos
