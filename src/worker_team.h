// The thread team that converts a list chunk by chunk: every member alike
// cuts the next chunk, counts its words, converts it once it knows where
// the chunk begins in the list, and writes the converted chunks that are
// next in list order, so that a chunk mostly stays on the core that read
// it and no thread only passes work on. The calling thread is the first
// member; the team grows by a thread for each further chunk, up to its size.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>

#include "list_chunks.h"
#include "ordered_join.h"
#include "relation_list.h"

namespace datmos {

struct TeamPlan {
    unsigned size = 1;           // the most threads, the calling one included
    std::size_t chunkBytes = 0;  // the most bytes a chunk holds
};

// Converts the chunks that `cutter` cuts and writes them through `join`,
// which holds the outcome; from an overlong chunk on, reads the rest of
// the list in order. `writeFirst`, where given, writes what precedes the
// lines while the team begins. Where a thread can't be started, the team
// converts with those it has; an exception in any member is passed on from
// here once every member has stopped.
void convertWithTeam(ChunkCutter& cutter, Wakeup& wakeup, const TeamPlan& plan, std::int64_t numbersTotal,
                     const ReadRules& rules, OrderedJoin& join, const std::function<void()>& writeFirst);

}  // namespace datmos
