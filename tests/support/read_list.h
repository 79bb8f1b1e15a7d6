// Reading a whole relation list the ways the converter reads one: the
// header and the relations with the stream reader (readHeader,
// readRelations), or the relations converted chunk by chunk
// (convertRelations). Failures of the test machinery itself throw.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <unistd.h>
#include <variant>
#include <vector>

#include "byte_input.h"
#include "byte_output.h"
#include "memory_file.h"
#include "records.h"
#include "relation_list.h"

namespace datmos::test {

// How reading a whole list ended: its header, once read, and the error
// that stopped it, if any, in relation `failedRelation` (from 1; 0 is the
// header) or, in strict mode, after the last relation (`afterList`; then
// failedRelation is afterLastRelation(relationCount)).
struct ListEnd {
    std::optional<ListHeader> header;
    std::optional<ReadError> error;
    std::int64_t failedRelation = 0;
    bool afterList = false;
};
inline std::int64_t afterLastRelation(std::int32_t relationCount) { return std::int64_t{std::max(relationCount, 0)} + 1; }

// Relations per call of readRelations unless told otherwise: as many as
// the converter reads at a time after a number longer than a chunk.
inline constexpr std::size_t kBatch = 256;

// Reads the header, then every relation it announces, `batch` (at least 1)
// per call of readRelations, handing each batch to
// take(std::span<const Relation>); in strict mode under strict rules, and
// then what follows the relations.
template <typename Take>
ListEnd readWholeList(ByteInput& input, std::size_t batch, Take take, bool strict = false) {
    batch = std::max<std::size_t>(batch, 1);
    ListEnd end;
    auto header = readHeader(input);
    if (auto* error = std::get_if<ReadError>(&header)) {
        end.error = std::move(*error);
        return end;
    }
    end.header = std::get<ListHeader>(header);
    const ReadRules rules = strict ? ReadRules::strictFor(end.header->people) : ReadRules{};
    std::vector<Relation> relations(batch);
    for (std::int64_t done = 0; done < end.header->relationCount;) {
        const auto room = static_cast<std::size_t>(std::min<std::int64_t>(batch, end.header->relationCount - done));
        const std::size_t count = readRelations(input, std::span(relations).first(room), end.error, rules);
        if (count > room || (count < room) != end.error.has_value()) {
            throw std::logic_error("readRelations miscounts, or stops early without an error");
        }
        take(std::span<const Relation>(relations.data(), count));
        done += static_cast<std::int64_t>(count);
        if (end.error) {
            end.failedRelation = done + 1;
            return end;
        }
    }
    if (strict && (end.error = readListEnd(input))) {
        end.afterList = true;
        end.failedRelation = afterLastRelation(end.header->relationCount);
    }
    return end;
}

// A whole list read with the stream reader through a window of `capacity`
// bytes, its relations kept; in strict mode or not.
struct ListRead : ListEnd {
    std::vector<Relation> relations;
};
ListRead readList(int fd, std::size_t capacity = ByteInput::kDefaultCapacity, std::size_t batch = kBatch,
                  bool strict = false);

// A whole list converted as the converter converts it: the header read
// through a window of `headerCapacity` bytes, then the relations by
// convertRelations, on the calling thread where the window holds the rest
// of the list, else on `workers` threads in chunks of `chunkBytes` (0: the
// converter's own size), after a line written first, as the head is; in
// strict mode or not. `lines` holds the relation lines written after that
// line.
struct ListConverted : ListEnd {
    std::string lines;
};
ListConverted convertList(int fd, unsigned workers, std::size_t chunkBytes,
                          std::size_t headerCapacity = ByteInput::kDefaultCapacity, bool strict = false);

// What write(ByteOutput&) writes through a buffer of `capacity` bytes.
template <typename Write>
std::string writtenBy(Write write, std::size_t capacity = ByteOutput::kMinimumCapacity) {
    const int fd = emptyMemoryFile();
    int error = 0;
    {
        ByteOutput output(fd, capacity);
        write(output);
        output.flush();
        error = output.error();
    }
    std::string bytes = error == 0 ? contentOf(fd) : std::string();
    ::close(fd);
    if (error != 0) throw std::runtime_error("writing to a memory file failed");
    return bytes;
}

// The lines that writeRelations gives for the relations.
std::string linesOf(std::span<const Relation> relations);

// The same relations, weights bit for bit.
bool sameRelations(std::span<const Relation> a, std::span<const Relation> b);
// The same header, and the same error (its line and description) in the
// same relation.
bool sameEnd(const ListEnd& a, const ListEnd& b);

// What was read, for a failure message.
std::string describe(const ListEnd& end);
std::string describe(const ListRead& list);

}  // namespace datmos::test
