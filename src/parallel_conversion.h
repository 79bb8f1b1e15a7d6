// The relations of a list converted on every core: the list is cut into
// chunks, every worker thread reads and formats whole chunks into lines of
// their own, and the lines are written in list order.
#pragma once

#include <cstdint>
#include <functional>
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

// Reads `relationCount` relations from where `input` stands, under
// `rules`, and writes their lines to `output`, in list order. The workers
// number one per core that the process may run on, unless `workers` says
// otherwise; a chunk holds at most `chunkBytes` bytes, unless 0 (then a
// size that keeps memory bounded). `writeFirst`, where given, writes what
// precedes the lines in `output`, while the workers begin.
RelationsOutcome convertRelations(ByteInput& input, std::int32_t relationCount, ByteOutput& output,
                                  unsigned workers = 0, std::size_t chunkBytes = 0, const ReadRules& rules = {},
                                  const std::function<void()>& writeFirst = {});

}  // namespace datmos
