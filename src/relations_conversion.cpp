#include "relations_conversion.h"

#include <algorithm>
#include <optional>
#include <sched.h>
#include <span>
#include <thread>
#include <vector>

#include "list_chunks.h"
#include "ordered_join.h"
#include "relation_chunk.h"
#include "stream_conversion.h"
#include "wakeup.h"
#include "worker_team.h"

namespace datmos {
namespace {

// Memory stays bounded: at most one chunk per thread and two more are in
// flight, of at most kLargestChunk bytes each and together at most
// kInputBudget bytes, each with room for three times its bytes of lines;
// at most kMostWorkers threads, beyond which the disk, not the cores,
// sets the pace.
constexpr unsigned kMostWorkers = 32;
constexpr std::size_t kLargestChunk = std::size_t{256} << 10;
constexpr std::size_t kSmallestChunk = std::size_t{64} << 10;
constexpr std::size_t kInputBudget = std::size_t{4} << 20;
static_assert((kMostWorkers + 2) * kSmallestChunk <= kInputBudget, "the smallest chunks keep to the budget");
// The smallest window of the stream that reads on after an overlong chunk.
constexpr std::size_t kStreamWindow = std::size_t{64} << 10;

unsigned coresAvailable() {
    cpu_set_t cores;
    if (::sched_getaffinity(0, sizeof cores, &cores) == 0 && CPU_COUNT(&cores) > 0) {
        return static_cast<unsigned>(CPU_COUNT(&cores));
    }
    return std::max(1U, std::thread::hardware_concurrency());
}

// Reads on until the window holds the rest of the input or is full: true
// when the rest is in it (or a read failed, which ends the input there).
bool holdsRest(ByteInput& input) {
    while (!input.atEndOfInput() && input.fill()) {
    }
    return input.atEndOfInput();
}

// A regular file with little left, or any input whose rest the window holds.
bool isShort(ByteInput& input, std::uint64_t streamedUpTo) {
    const std::optional<std::uint64_t> left = input.bytesAfter(input.cursor());
    return (left && *left <= streamedUpTo) || holdsRest(input);
}

// The rest of the list read in order, from the overlong chunk on (the bytes
// `after` follow it, then what the input's descriptor holds), as a stream
// that holds a number of any length in bounded memory.
RelationsOutcome convertRest(ByteInput& input, const ConvertedChunk& overlong, std::span<const char> after,
                             const OrderedJoin& join, std::int64_t numbersTotal, ByteOutput& output,
                             const ReadRules& rules) {
    std::vector<char> first(overlong.chunk.bytes.begin(), overlong.chunk.bytes.end());
    first.insert(first.end(), after.begin(), after.end());
    ByteInput rest(input.fd(), first, overlong.chunk.offset, join.lineEndsBefore(), kStreamWindow);
    return convertStream(rest, join.numbersBefore() / kFieldsPerRelation, numbersTotal / kFieldsPerRelation, output,
                         rules, join.begun());
}

}  // namespace

RelationsOutcome convertRelations(ByteInput& input, std::int32_t relationCount, ByteOutput& output,
                                  const ConversionPlan& plan, const ReadRules& rules) {
    if (relationCount <= 0 && !rules.strict) return {};
    if (isShort(input, plan.streamedUpTo)) return convertStream(input, 0, relationCount, output, rules);
    unsigned workers = plan.workers;
    // On a single core, threads would only take turns.
    if (workers == 0 && (workers = std::min(coresAvailable(), kMostWorkers)) == 1) {
        return convertStream(input, 0, relationCount, output, rules);
    }
    // Only a pipe or a terminal can keep a thread waiting for input, to be
    // woken when the conversion ends early; without such a pipe, the
    // calling thread reads it all.
    Wakeup wakeup(!input.rereadable());
    if (!input.rereadable() && !wakeup.made()) return convertStream(input, 0, relationCount, output, rules);
    const std::size_t chunkBytes = plan.chunkBytes != 0
                                       ? plan.chunkBytes
                                       : std::clamp(kInputBudget / (workers + 2), kSmallestChunk, kLargestChunk);

    const std::int64_t numbersTotal = std::int64_t{std::max(relationCount, 0)} * kFieldsPerRelation;
    OrderedJoin join(input, numbersTotal, rules, output);
    // The header's last number ends right before the cursor: no carriage
    // return stands there.
    ChunkCutter cutter(input.fd(), std::span<const char>(input.cursor(), input.end()), input.offsetOf(input.cursor()),
                       false, wakeup.fd());
    TeamEnd team = convertWithTeam(cutter, wakeup, {workers, chunkBytes}, numbersTotal, rules, join);
    // Without the memory for a single chunk, nothing was read: the calling
    // thread reads it all.
    if (!team.began) return convertStream(input, 0, relationCount, output, rules);
    if (team.overlong) return convertRest(input, *team.overlong, cutter.carry(), join, numbersTotal, output, rules);
    return join.outcome();
}

}  // namespace datmos
