// Reading the relations of one chunk of a relation list, held whole in
// memory (see list_chunks.h). A chunk may begin and end inside a relation:
// its first number is the field given by how many numbers came before it,
// and its last relation may be finished only by the next chunk.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "list_chunks.h"
#include "records.h"
#include "relation_list.h"
#include "relation_scan.h"

namespace datmos {

// The fields of a relation in list order.
inline constexpr int kFieldsPerRelation = 3;

// Where reading stopped early, and why (as messages.h words it); for a
// refused first person number, the number it is glued to (see ReadError).
struct ChunkError {
    const char* at;
    std::string what;
    std::string gluedTo;
    bool afterList = false;  // what follows the last relation, in strict mode
};

class ChunkReader {
public:
    // Reads the chunk's bytes, whose first number is field `firstField`
    // (0 the first person, 1 the second, 2 the weight) of its relation,
    // while the list announces `numbersLeft` more numbers, under `rules`.
    // With endOfInput nothing follows the bytes; readError is the errno of
    // a failed read that ended them, or 0. In strict mode, what follows the
    // last relation is read too, and must be whitespace.
    ChunkReader(const PaddedBytes& bytes, bool endOfInput, int readError, int firstField, std::int64_t numbersLeft,
                const ReadRules& rules);

    // Reads the fields from firstField on that finish a relation begun in
    // an earlier chunk into `relation`; returns how many it read, fewer
    // than needed when the chunk or the list ends first or on an error.
    int finishRelation(Relation& relation);

    // Reads whole relations into `relations` while the chunk holds them
    // and there is room; returns how many.
    std::size_t readRelations(std::span<Relation> relations);

    // The relation the chunk ends inside of: its fields read so far (0 to
    // 2, from the first on), set in `relation`.
    int unfinished(Relation& relation) const {
        relation = unfinished_;
        return unfinishedFields_;
    }

    std::int64_t numbersRead() const { return numbersRead_; }
    // The field that could not be read, if any; reading stops there.
    const std::optional<ChunkError>& error() const { return error_; }

private:
    bool readField(int field, Relation& relation);
    int readFields(int from, Relation& relation);
    void readListEnd();
    void fail(const char* at, std::string what);
    // Whether a failed read that ended the chunk cut short the number that
    // ends at `stop` (see mayGoOnTo).
    bool cutShort(const char* stop) const { return readError_ != 0 && mayGoOnTo(stop, end_); }

    const ReadRules& rules_;
    const PersonRange persons_;
    const char* const begin_;
    const char* position_;
    const char* end_;
    const char* weightStart_ = nullptr;  // the last weight read field by field
    const char* weightEnd_ = nullptr;
    bool endOfInput_;
    int readError_;
    int firstField_;
    std::int64_t numbersLeft_;
    std::int64_t numbersRead_ = 0;
    bool stopped_ = false;
    Relation unfinished_;
    int unfinishedFields_ = 0;
    std::optional<ChunkError> error_;
};

}  // namespace datmos
