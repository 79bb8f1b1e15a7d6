#include "stream_conversion.h"

#include <algorithm>
#include <span>

#include "data_file.h"

namespace datmos {

RelationsOutcome convertStream(ByteInput& input, std::int64_t done, std::int64_t relationCount, ByteOutput& output,
                               const ReadRules& rules, BegunRelation begun) {
    if (begun.fields > 0) {
        std::optional<ReadError> error;
        if (readRelationFields(input, begun.fields, begun.relation, error, rules) < kFieldsPerRelation) {
            return {std::move(error), done + 1};
        }
        writeRelation(output, begun.relation);
        ++done;
    }
    ScaledRelation relations[kRelationsAtOnce];
    while (done < relationCount && output.error() == 0) {
        const auto room = static_cast<std::size_t>(std::min<std::int64_t>(kRelationsAtOnce, relationCount - done));
        std::optional<ReadError> error;
        const std::size_t count = readRelations(input, std::span(relations, room), error, rules);
        writeRelations(output, std::span<const ScaledRelation>(relations, count));
        done += static_cast<std::int64_t>(count);
        if (error) return {std::move(error), done + 1};
    }
    if (rules.strict && output.error() == 0) {
        if (auto error = readListEnd(input)) return {std::move(error), done, true};
    }
    return {};
}

}  // namespace datmos
