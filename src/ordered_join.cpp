#include "ordered_join.h"

#include <algorithm>
#include <cstring>
#include <string_view>
#include <vector>

#include "data_file.h"
#include "text_counts.h"

namespace datmos {
namespace {

constexpr std::size_t kBatchRoom = kRelationsAtOnce * kRelationLineRoom;
// The smallest window of the stream that reads on after an overlong chunk.
constexpr std::size_t kStreamWindow = std::size_t{64} << 10;

// Room for `needed` bytes of lines, keeping those written so far. The room
// first made is twice the chunk's bytes, which its lines rarely exceed
// (they take about 1.4 times as many); else it doubles as it fills. So a
// chunk takes about the memory its lines take, touched once.
void makeRoom(ConvertedChunk& converted, std::size_t needed) {
    if (needed <= converted.linesRoom) return;
    const std::size_t room = std::max({needed, 2 * converted.linesRoom, 2 * converted.chunk.bytes.size() + kBatchRoom});
    std::unique_ptr<char[]> lines(new char[room]);
    if (converted.linesSize != 0) std::memcpy(lines.get(), converted.lines.get(), converted.linesSize);
    converted.lines = std::move(lines);
    converted.linesRoom = room;
}

void setField(Relation& relation, int field, const Relation& from) {
    if (field == 0) relation.first = from.first;
    if (field == 1) relation.second = from.second;
    if (field == 2) relation.weight = from.weight;
}

}  // namespace

void convertChunk(ConvertedChunk& converted, std::int64_t numbersBefore, std::int64_t numbersTotal,
                  const ReadRules& rules) {
    const ListChunk& chunk = converted.chunk;
    ChunkReader reader(chunk.bytes, chunk.endOfInput, chunk.readError,
                       static_cast<int>(numbersBefore % kFieldsPerRelation), numbersTotal - numbersBefore, rules);
    converted.numbersBefore = numbersBefore;
    converted.leadingFields = reader.finishRelation(converted.leading);
    converted.linesSize = 0;
    Relation relations[kRelationsAtOnce];
    while (const std::size_t count = reader.readRelations(relations)) {
        makeRoom(converted, converted.linesSize + kBatchRoom);
        char* const out = converted.lines.get() + converted.linesSize;
        const char* const end = appendRelationLines(out, std::span<const Relation>(relations, count));
        converted.linesSize += static_cast<std::size_t>(end - out);
    }
    converted.trailingFields = reader.unfinished(converted.trailing);
    converted.numbersRead = reader.numbersRead();
    converted.error = reader.error();
}

OrderedJoin::OrderedJoin(ByteInput& input, std::int64_t numbersTotal, const ReadRules& rules, ByteOutput& output)
    : input_(input),
      output_(output),
      rules_(rules),
      numbersTotal_(numbersTotal),
      countsLineEnds_(!input.rereadable()),
      lineEndsBefore_(input.lineAt(input.cursor()).value_or(1) - 1) {}  // used only for a pipe: always known

bool OrderedJoin::write(ConvertedChunk& next) {
    if (next.numbersBefore != numbersBefore_) convertChunk(next, numbersBefore_, numbersTotal_, rules_);
    for (int i = 0; i < next.leadingFields; ++i) setField(begun_.relation, begun_.fields + i, next.leading);
    begun_.fields += next.leadingFields;
    if (begun_.fields == kFieldsPerRelation) {
        writeRelation(output_, begun_.relation);
        begun_.fields = 0;
    }
    output_.write(std::string_view(next.lines.get(), next.linesSize));
    if (const auto& error = next.error) {
        outcome_ = {ReadError{lineOf(next, error->at), error->what, error->gluedTo},
                    (numbersBefore_ + next.numbersRead) / kFieldsPerRelation + 1, error->afterList};
        return false;
    }
    if (next.trailingFields > 0) begun_ = {next.trailing, next.trailingFields};
    numbersBefore_ += next.numbersRead;
    lineEndsBefore_ += next.lineEnds;
    // In strict mode the whole list is read.
    return (numbersBefore_ < numbersTotal_ || rules_.strict) && !next.chunk.endOfInput && output_.error() == 0;
}

void OrderedJoin::readRest(const ConvertedChunk& overlong, std::span<const char> after) {
    std::vector<char> first(overlong.chunk.bytes.begin(), overlong.chunk.bytes.end());
    first.insert(first.end(), after.begin(), after.end());
    ByteInput rest(input_.fd(), first, overlong.chunk.offset, lineEndsBefore_, kStreamWindow);
    outcome_ = convertStream(rest, numbersBefore_ / kFieldsPerRelation, numbersTotal_ / kFieldsPerRelation, output_,
                             rules_, begun_);
}

std::optional<std::uint64_t> OrderedJoin::lineOf(const ConvertedChunk& converted, const char* at) const {
    const ListChunk& chunk = converted.chunk;
    const std::optional<std::uint64_t> before =
        countsLineEnds_ ? lineEndsBefore_ : countLineEndsInFile(input_.fd(), chunk.offset);
    if (!before) return std::nullopt;
    return 1 + *before + countLineEnds(chunk.bytes.begin(), at, chunk.afterCarriageReturn);
}

}  // namespace datmos
