// The relations converted in list order on the calling thread, read as a
// stream: a short list (most are), a list on a single core, or the rest of
// a list after a number longer than a chunk.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include "byte_input.h"
#include "byte_output.h"
#include "records.h"
#include "relation_list.h"

namespace datmos {

// How converting the relations ended: every announced relation written,
// or a read error in relation number `failedRelation` (from 1) or, in
// strict mode, after the last relation (`afterList`), or a write error
// (ByteOutput::error()).
struct RelationsOutcome {
    std::optional<ReadError> readError;
    std::int64_t failedRelation = 0;
    bool afterList = false;
};

// Relations read between two formatting passes, by the stream and by the
// chunks alike: few enough to stay in the first-level cache.
inline constexpr std::size_t kRelationsAtOnce = 256;

// The relation that a stream takes up in the middle of: its first
// `fields` fields (0 to 2) are already read into `relation`.
struct BegunRelation {
    Relation relation;
    int fields = 0;
};

// Reads relations from where `input` stands and writes their lines to
// `output`, `done` of the list's `relationCount` having been read before
// (and `begun` begun); in strict mode the rest of the input must then be
// whitespace.
RelationsOutcome convertStream(ByteInput& input, std::int64_t done, std::int64_t relationCount, ByteOutput& output,
                               const ReadRules& rules, BegunRelation begun = {});

}  // namespace datmos
