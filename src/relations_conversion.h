// The relations of a list converted in the way that fits the list: on the
// calling thread when the list is short (most are) or only one core is
// available; else by a thread team that grows with the work, up to one
// thread per core.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include "byte_input.h"
#include "byte_output.h"
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

// How the relations are converted. A list whose rest after the header
// is short is converted on the calling thread, as a stream: a regular file
// with at most `streamedUpTo` bytes left, or any input whose rest the
// window already holds (its size thus decides which lists are small).
// Else a team converts it, of at most `workers` threads, or where
// `workers` is 0, of one per core that the process may run on (with one
// core, none: the calling thread streams it); a chunk holds at most
// `chunkBytes` bytes, unless 0 (then a size that keeps memory bounded).
struct ConversionPlan {
    // Up to this size, one thread took less time than a team of two, which
    // first has to have its chunks' memory: lists of 1.7, 6.6 and 13 MB took
    // 0.57, 0.85 and 1.06 of the team's time.
    static constexpr std::uint64_t kStreamedUpTo = std::uint64_t{8} << 20;

    unsigned workers = 0;
    std::size_t chunkBytes = 0;
    std::uint64_t streamedUpTo = kStreamedUpTo;
};

// Reads `relationCount` relations from where `input` stands, under
// `rules`, and writes their lines to `output`, in list order, as `plan`
// says.
RelationsOutcome convertRelations(ByteInput& input, std::int32_t relationCount, ByteOutput& output,
                                  const ConversionPlan& plan = {}, const ReadRules& rules = {});

}  // namespace datmos
