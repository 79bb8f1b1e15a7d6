#include "relation_list.h"

#include <cmath>
#include <cstring>
#include <limits>
#include <string_view>

#include "long_number.h"
#include "number_scan.h"
#include "weight_scale.h"

namespace datmos {
namespace {

constexpr std::size_t kShownBytes = 40;

// A field as an error message shows it: its first kShownBytes bytes,
// quoted, with non-printable bytes escaped, and "..." if it goes on.
std::string quoted(std::string_view field) {
    if (field.empty()) return "end of file";
    std::string quoted = "\"";
    for (const char c : field.substr(0, kShownBytes)) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte == '"' || byte == '\\') {
            quoted += '\\';
            quoted += static_cast<char>(byte);
        } else if (byte >= 0x20 && byte < 0x7F) {
            quoted += static_cast<char>(byte);
        } else {
            static constexpr char kHex[] = "0123456789abcdef";
            quoted += "\\x";
            quoted += kHex[byte >> 4];
            quoted += kHex[byte & 0xF];
        }
    }
    quoted += '"';
    if (field.size() > kShownBytes) quoted += "...";
    return quoted;
}

// The field at the cursor, up to whitespace (or stop), as quoted() shows it.
std::string quoteFound(ByteInput& input, const char* stop) {
    const std::size_t stopOffset = stop ? static_cast<std::size_t>(stop - input.cursor()) : kShownBytes + 1;
    while (!input.atEndOfInput() && static_cast<std::size_t>(input.end() - input.cursor()) <= kShownBytes) {
        input.fill();
    }
    const char* p = input.cursor();
    const std::size_t available = static_cast<std::size_t>(input.end() - p);
    std::size_t length = 0;
    while (length < available && length < stopOffset && length <= kShownBytes && !isSpace(p[length])) ++length;
    return quoted(std::string_view(p, length));
}

ReadError refusal(ByteInput& input, const std::string& expected, const std::string& found) {
    return {input.lineAt(input.cursor()), "expected " + expected + ", found " + found};
}

ReadError errorHere(ByteInput& input, const std::string& expected, const char* stop = nullptr) {
    return refusal(input, expected, quoteFound(input, stop));
}

ReadError readFailure(const ByteInput& input) {
    return {input.lineAt(input.cursor()), std::string("cannot read: ") + std::strerror(input.readError())};
}

// Moves the cursor to the next non-whitespace byte. False at the end of
// the input or after a read error.
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

constexpr const char* kInteger = "an integer";
constexpr const char* kAnyInt32 = "an integer from -2147483648 to 2147483647";
// A person number must leave room for its 1-based successor.
constexpr const char* kPersonRange = "a person number from -2147483648 to 2147483646";
constexpr const char* kReal = "a real number";
constexpr const char* kWeightRange = "a weight above -214748.3649 and below 214748.3648";

// Each read below stores the field and returns true, or fills `error`.

bool skipSpaceBefore(ByteInput& input, const char* expected, ReadError& error) {
    if (skipSpace(input)) return true;
    error = input.readError() != 0 ? readFailure(input) : errorHere(input, expected);
    return false;
}

// The rest of readInteger and readWeight for a number that fills the whole
// window and goes on, read as it streams by. Out of line, so that the usual
// path keeps its scan in registers.
[[gnu::noinline]] bool readLongInteger(ByteInput& input, std::int32_t largest, const char* range, std::int32_t& value,
                                       ReadError& error) {
    std::string head;
    const IntegerScan scan = scanLongInteger(input, head);
    if (input.readError() != 0) {
        error = readFailure(input);
    } else if (scan.outcome == Scanned::OutOfRange || scan.value > largest) {
        error = refusal(input, range, quoted(head));
    } else {
        value = scan.value;
        return true;
    }
    return false;
}

[[gnu::noinline]] bool readLongWeight(ByteInput& input, double& value, ReadError& error) {
    std::string head;
    const RealScan scan = scanLongReal(input, head);
    if (input.readError() != 0) {
        error = readFailure(input);
    } else if (!scaleWeight(scan.value)) {
        error = refusal(input, kWeightRange, quoted(head));
    } else {
        value = scan.value;
        return true;
    }
    return false;
}

// An integer no greater than `largest`; `range` names what is allowed.
bool readInteger(ByteInput& input, std::int32_t largest, const char* range, std::int32_t& value, ReadError& error) {
    if (!skipSpaceBefore(input, kInteger, error)) return false;
    IntegerScan scan;
    if (!scanField(input, scanInteger, scan)) return readLongInteger(input, largest, range, value, error);
    if (input.readError() != 0) {
        error = readFailure(input);
    } else if (scan.outcome == Scanned::NoNumber) {
        error = errorHere(input, kInteger);
    } else if (scan.outcome == Scanned::OutOfRange || scan.value > largest) {
        error = errorHere(input, range, scan.stop);
    } else {
        input.advanceTo(scan.stop);
        value = scan.value;
        return true;
    }
    return false;
}

bool readCount(ByteInput& input, std::int32_t& value, ReadError& error) {
    return readInteger(input, std::numeric_limits<std::int32_t>::max(), kAnyInt32, value, error);
}

bool readPerson(ByteInput& input, std::int32_t& value, ReadError& error) {
    return readInteger(input, std::numeric_limits<std::int32_t>::max() - 1, kPersonRange, value, error);
}

bool readWeight(ByteInput& input, double& value, ReadError& error) {
    if (!skipSpaceBefore(input, kReal, error)) return false;
    RealScan scan;
    if (!scanField(input, scanReal, scan)) return readLongWeight(input, value, error);
    if (input.readError() != 0) {
        error = readFailure(input);
    } else if (scan.outcome == Scanned::NoNumber) {
        error = errorHere(input, kReal);
    } else if (!scaleWeight(scan.value)) {
        error = errorHere(input, kWeightRange, scan.stop);
    } else {
        input.advanceTo(scan.stop);
        value = scan.value;
        return true;
    }
    return false;
}

// Short weights of other forms than the usual one, after any whitespace.
const char* scanShortWeight(const char* s, double& weight) {
    while (isSpace(*s)) ++s;
    const bool negative = *s == '-';
    if (*s == '-' || *s == '+') ++s;
    RealScan scan{};
    if (!scanShortDecimal(s, negative, scan)) return nullptr;
    // Below this bound every weight scales into 32 bits.
    if (!weightScales(scan.value)) return nullptr;
    weight = scan.value;
    return scan.stop + 1;  // past the whitespace that ends the weight
}

// The common relation, three short numbers each followed by whitespace,
// read in one go. The window ends in a 0 byte, so no scan runs past it.
// Anything unusual (a long or malformed number, a number at the window's
// end, a weight outside the range) returns nullptr and is left to the
// field-by-field path, which gives the same values and the errors.
[[gnu::always_inline]] inline const char* scanRelationFast(const char* s, Relation& relation) {
    s = scanShortInteger(s, relation.first);
    if (s == nullptr) return nullptr;
    s = scanShortInteger(s, relation.second);
    if (s == nullptr) return nullptr;
    // A usual weight is below 10 in magnitude, so it always scales.
    if (const char* stop = scanUsualWeight(s, relation.weight)) [[likely]] return stop;
    return scanShortWeight(s, relation.weight);
}

// The field-by-field path, for what the fast one leaves.
bool readRelationByFields(ByteInput& input, Relation& relation, ReadError& error) {
    return readPerson(input, relation.first, error) && readPerson(input, relation.second, error) &&
           readWeight(input, relation.weight, error);
}

}  // namespace

std::variant<ListHeader, ReadError> readHeader(ByteInput& input) {
    ListHeader header;
    ReadError error;
    if (readCount(input, header.people, error) && readCount(input, header.relationCount, error)) return header;
    return error;
}

std::variant<Relation, ReadError> readRelation(ByteInput& input) {
    Relation relation;
    if (const char* stop = scanRelationFast(input.cursor(), relation)) {
        input.advanceTo(stop);
        return relation;
    }
    ReadError error;
    if (readRelationByFields(input, relation, error)) return relation;
    return error;
}

std::optional<ReadError> readRelationFields(ByteInput& input, int from, Relation& relation) {
    ReadError error;
    if (from <= 0 && !readPerson(input, relation.first, error)) return error;
    if (from <= 1 && !readPerson(input, relation.second, error)) return error;
    if (!readWeight(input, relation.weight, error)) return error;
    return std::nullopt;
}

std::size_t readRelations(ByteInput& input, std::span<Relation> relations, std::optional<ReadError>& error) {
    std::size_t count = 0;
    while (count < relations.size()) {
        // Common relations one after another, the position kept in a
        // register; the first other one is read field by field.
        const char* s = input.cursor();
        while (count < relations.size()) {
            const char* next = scanRelationFast(s, relations[count]);
            if (next == nullptr) break;
            s = next;
            ++count;
        }
        input.advanceTo(s);
        if (count == relations.size()) break;
        if (ReadError failure; !readRelationByFields(input, relations[count], failure)) {
            error = std::move(failure);
            break;
        }
        ++count;
    }
    return count;
}

}  // namespace datmos
