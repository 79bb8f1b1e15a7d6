#include "relation_chunk.h"

#include <algorithm>
#include <cstring>
#include <span>

#include "byte_input.h"
#include "data_file.h"

namespace datmos {
namespace {

// A relation line takes at most three times the bytes its relation takes
// in the list, whitespace after it included ("9 9 5 " gives
// "( 10 , 10 ) 50000"), and the last relation of the list, which may lack
// that whitespace, one line more. So lines have room for three times the
// chunk's bytes and what one formatting pass may store past them.
constexpr std::size_t kLineBytesPerByte = 3;
constexpr std::size_t kBatchRoom = kRelationsAtOnce * kRelationLineRoom;

std::size_t linesRoomFor(std::size_t capacity) { return kLineBytesPerByte * capacity + kBatchRoom; }

// Room for a pass of `count` more lines; past the bound above only where it
// is wrong, which would show as the lines' memory growing.
void makeRoom(ConvertedChunk& converted, std::size_t count) {
    const std::size_t needed = converted.linesSize + count * kRelationLineRoom;
    if (needed <= converted.linesRoom) return;
    const std::size_t room = std::max(needed, 2 * converted.linesRoom);
    std::unique_ptr<char[]> lines(new char[room]);
    std::memcpy(lines.get(), converted.lines.get(), converted.linesSize);
    converted.lines = std::move(lines);
    converted.linesRoom = room;
}

}  // namespace

ConvertedChunk::ConvertedChunk(std::size_t capacity)
    : chunk(capacity), lines(new char[linesRoomFor(capacity)]), linesRoom(linesRoomFor(capacity)) {}

void convertChunk(ConvertedChunk& converted, std::int64_t numbersBefore, std::int64_t numbersTotal,
                  const ReadRules& rules) {
    const ListChunk& chunk = converted.chunk;
    ByteInput input(chunk.bytes, chunk.offset, !chunk.endOfInput, chunk.readError);
    converted.numbersBefore = numbersBefore;
    converted.linesSize = 0;
    converted.error.reset();
    converted.afterList = false;
    converted.trailing = {};
    const std::int64_t numbersLeft = std::max<std::int64_t>(numbersTotal - numbersBefore, 0);
    // The fields that finish a relation begun before the chunk, as many as
    // the list still has.
    const int first = static_cast<int>(numbersBefore % kFieldsPerRelation);
    converted.leadingFields = 0;
    if (first != 0 && numbersLeft > 0) {
        converted.leadingFields = readRelationFields(input, first, converted.leading, converted.error, rules) - first;
    }
    converted.numbersRead = converted.leadingFields;
    bool stopped = first != 0 && numbersLeft > 0 && first + converted.leadingFields < kFieldsPerRelation;
    auto relationsLeft = (numbersLeft - converted.leadingFields) / kFieldsPerRelation;
    ScaledRelation relations[kRelationsAtOnce];
    while (!stopped && relationsLeft > 0) {
        const auto room = static_cast<std::size_t>(std::min<std::int64_t>(kRelationsAtOnce, relationsLeft));
        const std::size_t count =
            readRelations(input, std::span(relations, room), converted.error, rules, &converted.trailing);
        makeRoom(converted, count);
        char* const out = converted.lines.get() + converted.linesSize;
        const char* const end = appendRelationLines(out, std::span<const ScaledRelation>(relations, count));
        converted.linesSize += static_cast<std::size_t>(end - out);
        relationsLeft -= static_cast<std::int64_t>(count);
        converted.numbersRead += static_cast<std::int64_t>(count) * kFieldsPerRelation;
        stopped = count < room;  // an error, or the chunk ended inside a relation
    }
    converted.numbersRead += converted.trailing.fields;
    // After the last relation, in strict mode, only whitespace may follow.
    if (!stopped && relationsLeft == 0 && rules.strict && (converted.error = readListEnd(input))) {
        converted.afterList = true;
    }
}

}  // namespace datmos
