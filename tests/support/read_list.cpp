#include "read_list.h"

#include <bit>
#include <cinttypes>
#include <cstdio>

#include "data_file.h"
#include "relations_conversion.h"

namespace datmos::test {

ListRead readList(int fd, std::size_t capacity, std::size_t batch, bool strict) {
    ByteInput input(fd, capacity);
    ListRead list;
    static_cast<ListEnd&>(list) = readWholeList(
        input, batch,
        [&list](std::span<const Relation> relations) {
            list.relations.insert(list.relations.end(), relations.begin(), relations.end());
        },
        strict);
    return list;
}

// Something written first, as the head is.
constexpr std::string_view kWrittenFirst = "written first\n";

ListConverted convertList(int fd, unsigned workers, std::size_t chunkBytes, std::size_t headerCapacity, bool strict) {
    ListConverted converted;
    ByteInput input(fd, headerCapacity);
    auto header = readHeader(input);
    if (auto* error = std::get_if<ReadError>(&header)) {
        converted.error = std::move(*error);
        return converted;
    }
    const ListHeader read = converted.header.emplace(std::get<ListHeader>(header));
    const ReadRules rules = strict ? ReadRules::strictFor(read.people) : ReadRules{};
    converted.lines = writtenBy([&](ByteOutput& output) {
        output.write(kWrittenFirst);
        RelationsOutcome outcome = convertRelations(input, read.relationCount, output, {workers, chunkBytes, 0}, rules);
        converted.error = std::move(outcome.readError);
        converted.afterList = outcome.afterList;
        // After the last relation, the converter names no relation.
        converted.failedRelation = outcome.afterList ? afterLastRelation(read.relationCount) : outcome.failedRelation;
    });
    // Where it is missing or out of place, the lines show it and differ.
    if (converted.lines.starts_with(kWrittenFirst)) converted.lines.erase(0, kWrittenFirst.size());
    return converted;
}

std::string linesOf(std::span<const Relation> relations) {
    return writtenBy([relations](ByteOutput& output) { writeRelations(output, relations); });
}

bool sameRelations(std::span<const Relation> a, std::span<const Relation> b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](const Relation& x, const Relation& y) {
        return x.first == y.first && x.second == y.second &&
               std::bit_cast<std::uint64_t>(x.weight) == std::bit_cast<std::uint64_t>(y.weight);
    });
}

bool sameEnd(const ListEnd& a, const ListEnd& b) {
    const auto sameHeader = [](const ListHeader& x, const ListHeader& y) {
        return x.people == y.people && x.relationCount == y.relationCount;
    };
    const auto sameError = [](const ReadError& x, const ReadError& y) {
        return x.line == y.line && x.what == y.what && x.gluedTo == y.gluedTo;
    };
    return a.header.has_value() == b.header.has_value() && (!a.header || sameHeader(*a.header, *b.header)) &&
           a.error.has_value() == b.error.has_value() && (!a.error || sameError(*a.error, *b.error)) &&
           a.failedRelation == b.failedRelation && a.afterList == b.afterList;
}

namespace {

std::string headerLine(const ListEnd& end) {
    if (!end.header) return "";
    return "header " + std::to_string(end.header->people) + " " + std::to_string(end.header->relationCount) + "\n";
}

std::string placeOf(const ListEnd& end) {
    if (end.afterList) return "what follows the relations";
    if (end.failedRelation == 0) return "the header";
    return "relation " + std::to_string(end.failedRelation);
}

std::string endLine(const ListEnd& end) {
    if (!end.error) return "complete\n";
    const std::string line = end.error->line ? std::to_string(*end.error->line) : "unknown";
    return "stopped in " + placeOf(end) + " at line " + line + ": " + end.error->what +
           (end.error->gluedTo.empty() ? "" : " (glued to \"" + end.error->gluedTo + "\")") + "\n";
}

}  // namespace

std::string describe(const ListEnd& end) { return headerLine(end) + endLine(end); }

std::string describe(const ListRead& list) {
    std::string text = headerLine(list);
    for (std::size_t i = 0; i < list.relations.size(); ++i) {
        const Relation& r = list.relations[i];
        char line[120];
        std::snprintf(line, sizeof line, "relation %zu: %" PRId32 " %" PRId32 " %a (bits %016" PRIx64 ")\n", i + 1,
                      r.first, r.second, r.weight, std::bit_cast<std::uint64_t>(r.weight));
        text += line;
    }
    return text + endLine(list);
}

}  // namespace datmos::test
