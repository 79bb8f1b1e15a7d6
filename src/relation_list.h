// Reads a relation list: two integer counts, then one relation (two
// integers and a real number) at a time, numbers separated by any
// whitespace. Numbers follow the C formatted-input syntax ("%d", "%lf") in
// the C locale, read without stdio so that no locale is ever consulted.
// The one reader of fields: a stream, a short list and every chunk of a
// long one are read by these functions, a chunk as a ByteInput view.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <span>
#include <string>
#include <variant>

#include "byte_input.h"
#include "messages.h"
#include "records.h"

namespace datmos {

// Where and why a read stopped: the line of the offending field (none
// where it could not be counted) and a description such as: expected a
// real number, found "abc".
struct ReadError {
    std::optional<std::uint64_t> line;
    std::string what;
    // For a refused first person number that directly follows another
    // number, with no whitespace between: that number's text. After the
    // first relation it is the weight before, likely cut short ("0" of
    // "0,5", a decimal comma).
    std::string gluedTo;
    // Where the field stands in the input, for the line of a view's error,
    // which the view can't count itself.
    std::uint64_t offset = 0;
};

// What the readers accept besides the syntax: by default every person
// number that the data file can carry; in strict mode only the list's own
// people, 0 to people - 1, and nothing but whitespace after the last
// relation.
struct ReadRules {
    std::int32_t lowestPerson = std::numeric_limits<std::int32_t>::min();
    std::int32_t largestPerson = kLargestPerson;
    std::string expectPerson = std::string(kExpectPerson);
    bool strict = false;

    static ReadRules strictFor(std::int32_t people);
};

// The fields of a relation in list order.
inline constexpr int kFieldsPerRelation = 3;

// A relation read in part: its first `fields` fields (0 to 2) are in
// `relation`.
struct BegunRelation {
    Relation relation;
    int fields = 0;
};

// Reads the two counts at the head of the list.
std::variant<ListHeader, ReadError> readHeader(ByteInput& input);

// Relations read between two formatting passes, by the stream and by the
// chunks alike: few enough to stay in the first-level cache.
inline constexpr std::size_t kRelationsAtOnce = 256;

// Reads relations into `relations` until it is full. Besides malformed
// numbers it refuses what the data file cannot carry: a person number of
// 2147483647 (its 1-based successor has no 32-bit value) and a weight
// whose scaled value has none. Returns how many were read; when one fails,
// fewer, and `error` says why. A view whose list goes on past it may end
// first: then its last relation, begun or not, is left in `unfinished`.
std::size_t readRelations(ByteInput& input, std::span<Relation> relations, std::optional<ReadError>& error,
                          const ReadRules& rules = {}, BegunRelation* unfinished = nullptr);
// The same, each weight only scaled, as the data file carries it: what the
// conversion reads, with no double made where the digits give the scaled
// value.
std::size_t readRelations(ByteInput& input, std::span<ScaledRelation> relations, std::optional<ReadError>& error,
                          const ReadRules& rules = {}, BegunRelation* unfinished = nullptr);

// The next relation, as readRelations reads it.
std::variant<Relation, ReadError> readRelation(ByteInput& input, const ReadRules& rules = {});

// Reads the fields of a relation from field `from` on (0 the first person,
// 1 the second, 2 the weight), as readRelations reads them. Returns the
// field it stopped before: kFieldsPerRelation once the relation is whole;
// else `error` says why, or a view whose list goes on has ended.
int readRelationFields(ByteInput& input, int from, Relation& relation, std::optional<ReadError>& error,
                       const ReadRules& rules = {});

// In strict mode, after the last relation: refuses anything but whitespace
// up to the end of the input.
std::optional<ReadError> readListEnd(ByteInput& input);

}  // namespace datmos
