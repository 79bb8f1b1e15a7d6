// One chunk of a relation list converted on its own: its relations read by
// the relation reader through a view of the chunk, and their lines
// formatted into the chunk's own buffer. A chunk may begin and end inside
// a relation: its first number is the field given by how many numbers are
// taken to come before it, and its last relation may be finished only by
// the next chunk; the join (ordered_join.h) finishes those.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>

#include "list_chunks.h"
#include "records.h"
#include "relation_list.h"

namespace datmos {

// One chunk of the list, with what was made of it. Its buffers, for the
// bytes and for the lines, are had once, when it is made, and serve chunk
// after chunk.
struct ConvertedChunk {
    // Throws std::bad_alloc where the buffers can't be had.
    explicit ConvertedChunk(std::size_t capacity);

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
    BegunRelation trailing;  // the relation it ends inside of
    std::int64_t numbersRead = 0;
    // The field that could not be read, if any (its line left unknown),
    // and whether it follows the last relation, in strict mode.
    std::optional<ReadError> error;
    bool afterList = false;
};

// Reads a chunk's relations and formats them, taking its first number for
// number numbersBefore of the list's numbersTotal.
void convertChunk(ConvertedChunk& converted, std::int64_t numbersBefore, std::int64_t numbersTotal,
                  const ReadRules& rules);

}  // namespace datmos
