// The relations converted in list order on the calling thread, read as a
// stream: a short list (most are), a list on a single core, or the rest of
// a list after a number longer than a chunk.
#pragma once

#include <cstdint>

#include "byte_input.h"
#include "byte_output.h"
#include "records.h"
#include "relation_list.h"
#include "relations_conversion.h"

namespace datmos {

// Reads relations from where `input` stands and writes their lines to
// `output`, `done` of the list's `relationCount` having been read before
// (and `begun` begun); in strict mode the rest of the input must then be
// whitespace.
RelationsOutcome convertStream(ByteInput& input, std::int64_t done, std::int64_t relationCount, ByteOutput& output,
                               const ReadRules& rules, BegunRelation begun = {});

}  // namespace datmos
