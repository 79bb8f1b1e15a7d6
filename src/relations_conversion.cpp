#include "relations_conversion.h"

#include <algorithm>
#include <optional>
#include <sched.h>
#include <span>
#include <thread>

#include "list_chunks.h"
#include "ordered_join.h"
#include "relation_chunk.h"
#include "worker_team.h"

namespace datmos {
namespace {

// Memory stays bounded: at most one chunk per thread and two more are in
// flight, of at most kLargestChunk bytes each, and together at most
// kInputBudget bytes where there are many threads.
constexpr std::size_t kLargestChunk = std::size_t{256} << 10;
constexpr std::size_t kSmallestChunk = std::size_t{64} << 10;
constexpr std::size_t kInputBudget = std::size_t{8} << 20;

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

RelationsOutcome convertOnThisThread(ByteInput& input, std::int32_t relationCount, ByteOutput& output,
                                     const ReadRules& rules, const std::function<void()>& writeFirst) {
    if (writeFirst) writeFirst();
    return convertStream(input, 0, relationCount, output, rules);
}

// A regular file with little left, or any input whose rest the window holds.
bool isShort(ByteInput& input, std::uint64_t streamedUpTo) {
    const std::optional<std::uint64_t> left = input.bytesAfter(input.cursor());
    return (left && *left <= streamedUpTo) || holdsRest(input);
}

}  // namespace

RelationsOutcome convertRelations(ByteInput& input, std::int32_t relationCount, ByteOutput& output,
                                  const ConversionPlan& plan, const ReadRules& rules,
                                  const std::function<void()>& writeFirst) {
    if (relationCount <= 0 && !rules.strict) {
        if (writeFirst) writeFirst();
        return {};
    }
    if (isShort(input, plan.streamedUpTo)) return convertOnThisThread(input, relationCount, output, rules, writeFirst);
    unsigned workers = plan.workers;
    // On a single core, threads would only take turns.
    if (workers == 0 && (workers = coresAvailable()) == 1) {
        return convertOnThisThread(input, relationCount, output, rules, writeFirst);
    }
    // Only a pipe or a terminal can keep a thread waiting for input, to be
    // woken when the conversion ends early; without such a pipe, the
    // calling thread reads it all.
    Wakeup wakeup(!input.rereadable());
    if (!input.rereadable() && !wakeup.made()) {
        return convertOnThisThread(input, relationCount, output, rules, writeFirst);
    }
    const std::size_t chunkBytes = plan.chunkBytes != 0
                                       ? plan.chunkBytes
                                       : std::clamp(kInputBudget / (workers + 2), kSmallestChunk, kLargestChunk);

    const std::int64_t numbersTotal = std::int64_t{std::max(relationCount, 0)} * kFieldsPerRelation;
    OrderedJoin join(input, numbersTotal, rules, output);
    // The header's last number ends right before the cursor: no carriage
    // return stands there.
    ChunkCutter cutter(input.fd(), std::span<const char>(input.cursor(), input.end()), input.offsetOf(input.cursor()),
                       false, wakeup.fd());
    convertWithTeam(cutter, wakeup, {workers, chunkBytes}, numbersTotal, rules, join, writeFirst);
    return join.outcome();
}

}  // namespace datmos
