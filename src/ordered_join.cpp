#include "ordered_join.h"

#include <string_view>

#include "data_file.h"
#include "text_counts.h"

namespace datmos {
namespace {

void setField(Relation& relation, int field, const Relation& from) {
    if (field == 0) relation.first = from.first;
    if (field == 1) relation.second = from.second;
    if (field == 2) relation.weight = from.weight;
}

}  // namespace

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
    if (next.error) {
        ReadError error = std::move(*next.error);
        error.line = lineOf(next, error.offset);
        outcome_ = {std::move(error), (numbersBefore_ + next.numbersRead) / kFieldsPerRelation + 1, next.afterList};
        return false;
    }
    if (next.trailing.fields > 0) begun_ = next.trailing;
    numbersBefore_ += next.numbersRead;
    lineEndsBefore_ += next.lineEnds;
    // In strict mode the whole list is read.
    return (numbersBefore_ < numbersTotal_ || rules_.strict) && !next.chunk.endOfInput && output_.error() == 0;
}

std::optional<std::uint64_t> OrderedJoin::lineOf(const ConvertedChunk& converted, std::uint64_t offset) const {
    const ListChunk& chunk = converted.chunk;
    const std::optional<std::uint64_t> before =
        countsLineEnds_ ? lineEndsBefore_ : countLineEndsInFile(input_.fd(), chunk.offset);
    if (!before) return std::nullopt;
    const char* const at = chunk.bytes.begin() + (offset - chunk.offset);
    return 1 + *before + countLineEnds(chunk.bytes.begin(), at, chunk.afterCarriageReturn);
}

}  // namespace datmos
