// Writes a data file: the head, one line per relation, the closing line,
// with weights scaled to whole units of 1/10000.
#pragma once

#include <cstdint>
#include <optional>
#include <span>

#include "byte_output.h"
#include "records.h"

namespace datmos {

// Lines 1 to 5: "people: N", "VarErr: 0.5", "Names: [", "1 2 ... N ]",
// "Mrel: [". The names line is streamed, so any N needs constant memory.
void writeHead(ByteOutput& output, std::int32_t people);

// "( first+1 , second+1 ) scaledWeight". The relation is one that
// readRelation accepted; a weight without a scaled value is written as
// -2147483648 rather than left undefined.
void writeRelation(ByteOutput& output, const Relation& relation);

// The lines of many relations, as writeRelation gives them one by one.
void writeRelations(ByteOutput& output, std::span<const Relation> relations);
void writeRelations(ByteOutput& output, std::span<const ScaledRelation> relations);

// Room that one relation line needs when written by appendRelationLines.
inline constexpr std::size_t kRelationLineRoom = 64;

// Writes the lines of the relations from out on, which must have room for
// kRelationLineRoom bytes per relation; returns the end of the lines.
char* appendRelationLines(char* out, std::span<const Relation> relations);
char* appendRelationLines(char* out, std::span<const ScaledRelation> relations);

// The closing line "]".
void writeTail(ByteOutput& output);

}  // namespace datmos
