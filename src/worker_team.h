// The thread team that converts a list chunk by chunk: every member alike
// cuts the next chunk, counts its words, converts it once it knows where
// the chunk begins in the list, and writes the converted chunks that are
// next in list order, so that a chunk mostly stays on the core that read
// it and no thread only passes work on. The calling thread is the first
// member; the team grows by a thread for each further chunk, up to its size.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "list_chunks.h"
#include "ordered_join.h"
#include "relation_chunk.h"
#include "relation_list.h"
#include "wakeup.h"

namespace datmos {

struct TeamPlan {
    unsigned size = 1;           // the most threads, the calling one included
    std::size_t chunkBytes = 0;  // the most bytes a chunk holds
};

// How a team's conversion ended.
struct TeamEnd {
    // False where not even the first member's chunk could be had: then
    // nothing was read or written.
    bool began = false;
    // The chunk holding a number longer than a chunk, from which the rest
    // of the list must be read in order; null where the team wrote it all.
    std::unique_ptr<ConvertedChunk> overlong;
};

// Converts the chunks that `cutter` cuts and writes them through `join`,
// which holds the outcome. Each member's chunk is had before its thread
// starts: where it can't be, or the system refuses a thread, the team
// converts with those it has. An exception in any member is passed on from
// here once every member has stopped.
TeamEnd convertWithTeam(ChunkCutter& cutter, Wakeup& wakeup, const TeamPlan& plan, std::int64_t numbersTotal,
                        const ReadRules& rules, OrderedJoin& join);

}  // namespace datmos
