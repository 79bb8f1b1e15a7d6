// Chunks of a list converted independently, then joined in list order: a
// chunk's relation lines are written once every chunk before it is, and a
// relation that runs from one chunk into the next is finished across them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>

#include "byte_input.h"
#include "byte_output.h"
#include "list_chunks.h"
#include "relation_chunk.h"
#include "stream_conversion.h"

namespace datmos {

// One chunk of the list, with what was made of it.
struct ConvertedChunk {
    explicit ConvertedChunk(std::size_t capacity) : chunk(capacity) {}

    ListChunk chunk;
    std::uint64_t sequence = 0;  // its place among the chunks
    std::uint64_t words = 0;
    std::uint64_t lineEnds = 0;     // counted only for input that can't be read again
    std::uint64_t wordsBefore = 0;  // in the chunks before it
    bool counted = false;
    bool placed = false;  // wordsBefore is known
    bool converted = false;

    // The chunk converted as if numbersBefore numbers came before it.
    std::int64_t numbersBefore = -1;
    Relation leading;  // the fields that finish a relation begun before it
    int leadingFields = 0;
    // Its whole relations, formatted: linesSize bytes of linesRoom.
    std::unique_ptr<char[]> lines;
    std::size_t linesRoom = 0;
    std::size_t linesSize = 0;
    Relation trailing;  // the fields of a relation it ends inside of
    int trailingFields = 0;
    std::int64_t numbersRead = 0;
    std::optional<ChunkError> error;
};

// Reads a chunk's relations and formats them, taking its first number for
// number numbersBefore of the list's numbersTotal. The lines take as much
// memory as they need, no more.
void convertChunk(ConvertedChunk& converted, std::int64_t numbersBefore, std::int64_t numbersTotal,
                  const ReadRules& rules);

// Writes converted chunks in list order, joining the relations that run
// from one chunk into the next, and keeps the place in the list.
class OrderedJoin {
public:
    OrderedJoin(ByteInput& input, std::int64_t numbersTotal, const ReadRules& rules, ByteOutput& output);

    std::int64_t numbersBefore() const { return numbersBefore_; }
    // Whether line ends must be counted in every chunk, for the line
    // numbers of messages: input that can't be read again.
    bool countsLineEnds() const { return countsLineEnds_; }
    RelationsOutcome outcome() { return std::move(outcome_); }

    // Writes the next chunk, converting it again first where it was
    // converted as if it began elsewhere. False once the conversion has
    // ended: every relation written, a field refused or a write failed.
    bool write(ConvertedChunk& next);

    // Reads the rest of the list here, in order, from the overlong chunk
    // on (the bytes `after` follow it, then what its descriptor holds), as
    // a stream that holds a number of any length in bounded memory.
    void readRest(const ConvertedChunk& overlong, std::span<const char> after);

private:
    std::optional<std::uint64_t> lineOf(const ConvertedChunk& converted, const char* at) const;

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
