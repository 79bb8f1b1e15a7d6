// Chunks of a list converted independently, joined in list order: a
// chunk's relation lines are written once every chunk before it is, and a
// relation that runs from one chunk into the next is finished across them.
#pragma once

#include <cstdint>
#include <optional>

#include "byte_input.h"
#include "byte_output.h"
#include "relation_chunk.h"
#include "relation_list.h"
#include "relations_conversion.h"

namespace datmos {

// Writes converted chunks in list order, joining the relations that run
// from one chunk into the next, and keeps the place in the list.
class OrderedJoin {
public:
    OrderedJoin(ByteInput& input, std::int64_t numbersTotal, const ReadRules& rules, ByteOutput& output);

    // Whether line ends must be counted in every chunk, for the line
    // numbers of messages: input that can't be read again.
    bool countsLineEnds() const { return countsLineEnds_; }

    // Writes the next chunk, converting it again first where it was
    // converted as if it began elsewhere. False once the conversion has
    // ended: every relation written, a field refused or a write failed.
    bool write(ConvertedChunk& next);

    // Where the list stands before the chunk written next: numbers and
    // line ends before it (line ends where counted), and the relation
    // begun before it.
    std::int64_t numbersBefore() const { return numbersBefore_; }
    std::uint64_t lineEndsBefore() const { return lineEndsBefore_; }
    const BegunRelation& begun() const { return begun_; }
    RelationsOutcome outcome() { return std::move(outcome_); }

private:
    std::optional<std::uint64_t> lineOf(const ConvertedChunk& converted, std::uint64_t offset) const;

    ByteInput& input_;
    ByteOutput& output_;
    const ReadRules& rules_;
    const std::int64_t numbersTotal_;
    const bool countsLineEnds_;
    std::uint64_t lineEndsBefore_;  // before the chunk written next, where counted
    std::int64_t numbersBefore_ = 0;
    BegunRelation begun_;  // a relation begun in an earlier chunk
    RelationsOutcome outcome_;
};

}  // namespace datmos
