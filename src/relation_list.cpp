#include "relation_list.h"

#include <algorithm>
#include <limits>
#include <string_view>

#include "messages.h"
#include "long_number.h"
#include "number_scan.h"
#include "relation_scan.h"
#include "weight_scale.h"

namespace datmos {
namespace {

ReadError errorAt(const ByteInput& input, const char* at, std::string what) {
    return {input.lineAt(at), std::move(what), {}, input.offsetOf(at)};
}

// A refusal of the field at the cursor: its line, and what was expected
// against what stands there, up to whitespace or `stop`. Reads on until
// the window shows as much as the message quotes (moving the window).
ReadError refusal(ByteInput& input, std::string_view expected, const char* stop = nullptr) {
    const std::size_t length = stop != nullptr ? static_cast<std::size_t>(stop - input.cursor()) : kQuotedBytes + 1;
    while (!input.atEndOfInput() && static_cast<std::size_t>(input.end() - input.cursor()) <= kQuotedBytes) {
        input.fill();
    }
    const char* at = input.cursor();
    return errorAt(input, at, expectedFound(expected, at, input.end(), at + std::min(length, kQuotedBytes + 1)));
}

ReadError readFailure(const ByteInput& input) { return errorAt(input, input.cursor(), cannotRead(input.readError())); }

// Moves the cursor to the next byte that is not whitespace. False at the
// end of the input or after a read error.
bool skipSpace(ByteInput& input) {
    for (;;) {
        const char* p = input.cursor();
        const char* end = input.end();
        while (p < end && isSpace(*p)) ++p;
        input.advanceTo(p);
        if (p < end) return true;
        if (!input.fill()) return false;
    }
}

// Whether the number that ends at the cursor (or the field there that holds
// none) was cut short by a failed read, as mayGoOnTo() tells: then it is
// refused for the read error. Reads on until the window shows as many
// bytes after the cursor as that needs, or the end of the input.
bool cutShort(ByteInput& input) {
    while (input.end() - input.cursor() < kMayGoOnBytes && input.fill()) {
    }
    return input.readError() != 0 && mayGoOnTo(input.cursor(), input.end());
}

// Scans the field at the cursor into `result`, reading on while the number
// may go on; false when it fills the whole window and goes on.
template <typename Scan, typename Result>
bool scanField(ByteInput& input, Scan scan, Result& result) {
    for (;;) {
        result = scan(input.cursor(), input.end(), input.atEndOfInput());
        if (result.outcome != Scanned::NeedMore) return true;
        if (input.full()) return false;
        input.fill();
    }
}

// Moves the cursor `length` bytes on, once a refusal, which may move the
// window but keeps the cursor where it stands, has been made.
void skipBytes(ByteInput& input, std::ptrdiff_t length) { input.advanceTo(input.cursor() + length); }

// Each judge below stores the field at the cursor and returns true, or
// sets `error`; either way it leaves the cursor where the field's number
// ends (where the field begins if it holds none).

// An integer that fills the whole window and goes on, or a real, read as
// it streams by. Out of line, so that the usual path keeps its scan in
// registers.
[[gnu::noinline]] bool judgeLongInteger(ByteInput& input, std::int32_t lowest, std::int32_t largest,
                                        std::string_view range, std::int32_t& value, ReadError& error) {
    std::string head;
    const IntegerScan scan = scanLongInteger(input, head);
    if (scan.outcome == Scanned::OutOfRange || scan.value < lowest || scan.value > largest) {
        error = errorAt(input, input.cursor(), expectedFound(range, head.data(), head.data() + head.size()));
        return false;
    }
    value = scan.value;
    return true;
}

[[gnu::noinline]] bool judgeLongWeight(ByteInput& input, double& value, ReadError& error) {
    const std::uint64_t start = input.offsetOf(input.cursor());
    std::string head;
    const RealScan scan = scanLongReal(input, head);
    if (!weightScales(scan.value)) {
        error = errorAt(input, input.cursor(), expectedFound(kExpectWeight, head.data(), head.data() + head.size()));
        return false;
    }
    input.noteWeight(start, input.offsetOf(input.cursor()));
    value = scan.value;
    return true;
}

bool judgeInteger(ByteInput& input, std::int32_t lowest, std::int32_t largest, std::string_view range,
                  std::int32_t& value, ReadError& error) {
    IntegerScan scan;
    if (!scanField(input, scanInteger, scan)) return judgeLongInteger(input, lowest, largest, range, value, error);
    if (scan.outcome == Scanned::NoNumber) {
        error = refusal(input, kExpectInteger);
        return false;
    }
    const std::ptrdiff_t length = scan.stop - input.cursor();
    const bool inRange = scan.outcome != Scanned::OutOfRange && scan.value >= lowest && scan.value <= largest;
    if (inRange) {
        value = scan.value;
    } else {
        error = refusal(input, range, scan.stop);
    }
    skipBytes(input, length);
    return inRange;
}

bool judgeWeight(ByteInput& input, double& value, ReadError& error) {
    RealScan scan;
    if (!scanField(input, scanReal, scan)) return judgeLongWeight(input, value, error);
    if (scan.outcome == Scanned::NoNumber) {
        error = refusal(input, kExpectReal);
        return false;
    }
    const std::ptrdiff_t length = scan.stop - input.cursor();
    const bool scales = weightScales(scan.value);
    if (scales) {
        input.noteWeight(input.offsetOf(input.cursor()), input.offsetOf(scan.stop));
        value = scan.value;
    } else {
        error = refusal(input, kExpectWeight, scan.stop);
    }
    skipBytes(input, length);
    return scales;
}

// Each read below stores the field and returns true, or sets `error`.

bool skipSpaceBefore(ByteInput& input, std::string_view expected, ReadError& error) {
    if (skipSpace(input)) return true;
    error = input.readError() != 0 ? readFailure(input) : refusal(input, expected);
    return false;
}

// The field as judged, unless a failed read cut it short. A refusal names
// `gluedTo`, the weight the field directly follows, if any.
bool unlessCutShort(ByteInput& input, bool judged, ReadError& error, std::string_view gluedTo = {}) {
    if (cutShort(input)) {
        error = readFailure(input);
        return false;
    }
    if (!judged) error.gluedTo = gluedTo;
    return judged;
}

// An integer from `lowest` to `largest`; `range` says so in words.
bool readInteger(ByteInput& input, std::int32_t lowest, std::int32_t largest, std::string_view range,
                 std::int32_t& value, ReadError& error, std::string_view gluedTo = {}) {
    if (!skipSpaceBefore(input, kExpectInteger, error)) return false;
    return unlessCutShort(input, judgeInteger(input, lowest, largest, range, value, error), error, gluedTo);
}

bool readCount(ByteInput& input, std::int32_t& value, ReadError& error) {
    constexpr auto kLimits = std::numeric_limits<std::int32_t>();
    return readInteger(input, kLimits.min(), kLimits.max(), kExpectCount, value, error);
}

bool readPerson(ByteInput& input, const ReadRules& rules, std::int32_t& value, ReadError& error,
                std::string_view gluedTo = {}) {
    return readInteger(input, rules.lowestPerson, rules.largestPerson, rules.expectPerson, value, error, gluedTo);
}

// The first person number, which may directly follow the weight of the
// relation before, with no whitespace between: then a refusal names that
// weight too. Its text is taken before the field is read, which may move
// the window a long way on.
bool readFirstPerson(ByteInput& input, const ReadRules& rules, std::int32_t& value, ReadError& error) {
    const std::string glued = skipSpace(input) ? std::string(input.weightEndingAt(input.cursor())) : std::string();
    return readPerson(input, rules, value, error, glued);
}

bool readWeight(ByteInput& input, double& value, ReadError& error) {
    if (!skipSpaceBefore(input, kExpectReal, error)) return false;
    return unlessCutShort(input, judgeWeight(input, value, error), error);
}

}  // namespace

std::variant<ListHeader, ReadError> readHeader(ByteInput& input) {
    ListHeader header;
    ReadError error;
    if (readCount(input, header.people, error) && readCount(input, header.relationCount, error)) return header;
    return error;
}

ReadRules ReadRules::strictFor(std::int32_t people) {
    // With no people (a count of 0 or below, down to the lowest), no person
    // number is allowed: the empty range from 0 to -1. Only a positive count
    // is lowered, which can't overflow.
    const std::int32_t largest = people > 0 ? people - 1 : -1;
    return {0, largest, expectPersonOf(people), true};
}

int readRelationFields(ByteInput& input, int from, Relation& relation, std::optional<ReadError>& error,
                       const ReadRules& rules) {
    ReadError failure;
    for (int field = from; field < kFieldsPerRelation; ++field) {
        // A view ends where the next chunk goes on.
        if (input.goesOn() && !skipSpace(input)) return field;
        const bool read = field == 0   ? readFirstPerson(input, rules, relation.first, failure)
                          : field == 1 ? readPerson(input, rules, relation.second, failure)
                                       : readWeight(input, relation.weight, failure);
        if (!read) {
            error = std::move(failure);
            return field;
        }
    }
    return kFieldsPerRelation;
}

std::optional<ReadError> readListEnd(ByteInput& input) {
    if (skipSpace(input)) return refusal(input, kExpectListEnd);
    if (input.readError() != 0) return readFailure(input);
    return std::nullopt;
}

namespace {

void store(const Relation& relation, Relation& record) { record = relation; }
// A weight read field by field has a scaled value: it is refused else.
void store(const Relation& relation, ScaledRelation& record) {
    record = {relation.first, relation.second,
              scaleWeight(relation.weight).value_or(std::numeric_limits<std::int32_t>::min())};
}

template <typename Record>
std::size_t readRecords(ByteInput& input, std::span<Record> relations, std::optional<ReadError>& error,
                        const ReadRules& rules, BegunRelation* unfinished) {
    const PersonRange persons{rules.lowestPerson, rules.largestPerson};
    std::size_t count = 0;
    while (count < relations.size()) {
        // Plain relations one after another, the position kept in a
        // register; the first other one is read field by field. The window
        // ends in a zero byte, so no scan runs past it.
        const char* s = input.cursor();
        while (isSpace(*s)) ++s;
        while (count < relations.size()) {
            const char* next = scanPlainRelation(s, persons, relations[count]);
            if (next == nullptr) break;
            s = next;
            ++count;
        }
        input.advanceTo(s);
        if (count == relations.size()) break;
        Relation relation;
        const int fields = readRelationFields(input, 0, relation, error, rules);
        if (fields < kFieldsPerRelation) {
            if (unfinished != nullptr && !error) *unfinished = {relation, fields};
            break;
        }
        store(relation, relations[count]);
        ++count;
    }
    return count;
}

}  // namespace

std::size_t readRelations(ByteInput& input, std::span<Relation> relations, std::optional<ReadError>& error,
                          const ReadRules& rules, BegunRelation* unfinished) {
    return readRecords(input, relations, error, rules, unfinished);
}

std::size_t readRelations(ByteInput& input, std::span<ScaledRelation> relations, std::optional<ReadError>& error,
                          const ReadRules& rules, BegunRelation* unfinished) {
    return readRecords(input, relations, error, rules, unfinished);
}

std::variant<Relation, ReadError> readRelation(ByteInput& input, const ReadRules& rules) {
    Relation relation;
    std::optional<ReadError> error;
    if (readRelations(input, std::span(&relation, 1), error, rules) == 1) return relation;
    return std::move(*error);
}

}  // namespace datmos
