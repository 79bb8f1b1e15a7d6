// A deliberately plain reader of relation lists, used as the oracle of the
// fuzz target: one number at a time with the C library's own conversions
// (strtol and strtod in the C locale) over the whole text in memory, and
// the weight scaling done exactly in integer arithmetic. Hexadecimal
// weights, whose subnormal values glibc's strtod sometimes rounds wrongly,
// are rounded exactly by the reference itself.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "read_list.h"
#include "records.h"

namespace datmos_fuzz {

// What reading a whole list should give: reads the header, then relations
// until relationCount of them are read or one field is refused, with the
// line and description that the reader should report then.
datmos::test::ListRead readReferenceList(std::string_view text);

// The data file that the writer should give for these records; the tail
// is written only for a complete list. `people` is the value handed to
// the head (the caller may have clamped it).
std::string referenceDataFile(std::int32_t people, const std::vector<datmos::Relation>& relations, bool complete);

}  // namespace datmos_fuzz
