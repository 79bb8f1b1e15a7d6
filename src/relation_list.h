// Reads a relation list: two integer counts, then one relation (two
// integers and a real number) at a time, numbers separated by any
// whitespace. Numbers follow the C formatted-input syntax ("%d", "%lf") in
// the C locale, read without stdio so that no locale is ever consulted.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <variant>

#include "byte_input.h"
#include "records.h"

namespace datmos {

// Where and why a read stopped: the line of the offending field and a
// description such as: expected a real number, found "abc".
struct ReadError {
    std::uint64_t line = 0;
    std::string what;
};

// Reads the two counts at the head of the list.
std::variant<ListHeader, ReadError> readHeader(ByteInput& input);

// Reads relations into `relations` until it is full. Besides malformed
// numbers it refuses what the data file cannot carry: a person number of
// 2147483647 (its 1-based successor has no 32-bit value) and a weight
// whose scaled value has none. Returns how many were read; when one fails,
// fewer, and `error` says why.
std::size_t readRelations(ByteInput& input, std::span<Relation> relations, std::optional<ReadError>& error);

// The next relation, as readRelations reads it.
std::variant<Relation, ReadError> readRelation(ByteInput& input);

// Reads the fields of a relation from field `from` on (0 the first person,
// 1 the second, 2 the weight), as readRelations reads them.
std::optional<ReadError> readRelationFields(ByteInput& input, int from, Relation& relation);

}  // namespace datmos
