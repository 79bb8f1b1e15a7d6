#include "relation_list.h"

#include <charconv>
#include <clocale>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <locale.h>

#include "data_file.h"

namespace datmos {
namespace {

// More bytes can extend a scanned number only through a tail of at most
// 5 bytes that is not yet part of it ("e+" of "1e+5", "init" of
// "infinity", "x." of "0x.8p1"), or through the bracket of "nan(...)".
// A number followed by at least this many bytes is therefore complete.
constexpr std::ptrdiff_t kLookahead = 8;
constexpr std::size_t kShownBytes = 40;

bool isSpace(char c) {
    return c == ' ' || c == '\n' || c == '\t' || c == '\r' || c == '\v' || c == '\f';
}
bool isDigit(char c) { return c >= '0' && c <= '9'; }
bool isHexDigit(char c) {
    return isDigit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}
bool isNanChar(char c) {
    return isDigit(c) || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_';
}

enum class Scanned { Number, NoNumber, OutOfRange, NeedMore };

struct IntegerScan {
    Scanned outcome;
    const char* stop;
    std::int32_t value;
};

// Base-10 integer with optional sign, as "%d" takes it.
IntegerScan scanInteger(const char* p, const char* end, bool atEnd) {
    const char* s = p;
    bool negative = false;
    if (s < end && (*s == '+' || *s == '-')) {
        negative = *s == '-';
        ++s;
    }
    const char* digits = s;
    std::uint64_t magnitude = 0;
    for (; s < end && isDigit(*s); ++s) {
        if (magnitude <= std::uint64_t{1} << 32) magnitude = magnitude * 10 + static_cast<unsigned>(*s - '0');
    }
    if (s == end && !atEnd) return {Scanned::NeedMore, s, 0};
    if (s == digits) return {Scanned::NoNumber, s, 0};
    const std::uint64_t limit = negative ? std::uint64_t{1} << 31 : (std::uint64_t{1} << 31) - 1;
    if (magnitude > limit) return {Scanned::OutOfRange, s, 0};
    const auto signedValue = negative ? -static_cast<std::int64_t>(magnitude) : static_cast<std::int64_t>(magnitude);
    return {Scanned::Number, s, static_cast<std::int32_t>(signedValue)};
}

struct RealScan {
    Scanned outcome;
    const char* stop;
    double value;
};

// The C library's own conversion in the C locale, for the rare numbers
// beyond the binary64 range, where it gives the correctly rounded infinity,
// zero or subnormal that from_chars leaves unset.
double convertOutOfRange(const char* first, const char* last) {
    static const locale_t cLocale = newlocale(LC_ALL_MASK, "C", locale_t{});
    const std::string text(first, last);
    return strtod_l(text.c_str(), nullptr, cLocale);
}

// Whether a "nan" stopped at a bracket whose sequence runs past the window.
bool nanSequenceMayGoOn(const char* stop, const char* end) {
    if (stop == end || *stop != '(') return false;
    const char* s = stop + 1;
    while (s < end && isNanChar(*s)) ++s;
    return s == end;
}

// A real number as "%lf" (strtod) takes it: optional sign, decimal or
// "0x" hexadecimal forms, "inf", "infinity", "nan", "nan(...)".
RealScan scanReal(const char* p, const char* end, bool atEnd) {
    const char* s = p;
    bool negative = false;
    if (s < end && (*s == '+' || *s == '-')) {
        negative = *s == '-';
        ++s;
    }
    double magnitude = 0.0;
    std::from_chars_result parsed{s, std::errc::invalid_argument};
    if (s < end && *s != '-' && *s != '+') {
        const bool hexPrefix = end - s >= 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X');
        const bool hexDigits = hexPrefix && end - s >= 3 &&
                               (isHexDigit(s[2]) || (s[2] == '.' && end - s >= 4 && isHexDigit(s[3])));
        if (hexDigits) {
            parsed = std::from_chars(s + 2, end, magnitude, std::chars_format::hex);
        } else if (hexPrefix) {
            parsed = {s + 1, std::errc{}};  // "0x" without hex digits is the number 0
        } else {
            parsed = std::from_chars(s, end, magnitude);
        }
    }
    if (parsed.ec == std::errc::invalid_argument) {
        if (!atEnd && end - p < kLookahead) return {Scanned::NeedMore, end, 0.0};
        return {Scanned::NoNumber, s, 0.0};
    }
    const char* stop = parsed.ptr;
    if (!atEnd && (end - stop < kLookahead || (std::isnan(magnitude) && nanSequenceMayGoOn(stop, end)))) {
        return {Scanned::NeedMore, end, 0.0};
    }
    if (parsed.ec == std::errc::result_out_of_range) return {Scanned::Number, stop, convertOutOfRange(p, stop)};
    return {Scanned::Number, stop, negative ? -magnitude : magnitude};
}

// Up to kShownBytes of the input from the cursor, stopping at whitespace
// (or at stop), quoted, with non-printable bytes escaped.
std::string quoteFound(ByteInput& input, const char* stop = nullptr) {
    const std::size_t stopOffset = stop ? static_cast<std::size_t>(stop - input.cursor()) : kShownBytes + 1;
    while (!input.atEndOfInput() && static_cast<std::size_t>(input.end() - input.cursor()) <= kShownBytes) {
        input.fill();
    }
    const char* p = input.cursor();
    const std::size_t available = static_cast<std::size_t>(input.end() - p);
    std::size_t length = 0;
    while (length < available && length < stopOffset && !isSpace(p[length])) ++length;
    const bool cut = length > kShownBytes;
    if (cut) length = kShownBytes;
    if (length == 0) return "end of file";

    std::string quoted = "\"";
    for (std::size_t i = 0; i < length; ++i) {
        const auto byte = static_cast<unsigned char>(p[i]);
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
    if (cut) quoted += "...";
    return quoted;
}

ReadError errorHere(ByteInput& input, const std::string& expected, const char* stop = nullptr) {
    const std::uint64_t line = input.lineAt(input.cursor());
    return {line, "expected " + expected + ", found " + quoteFound(input, stop)};
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

template <typename Scan>
auto scanField(ByteInput& input, Scan scan) {
    for (;;) {
        const auto result = scan(input.cursor(), input.end(), input.atEndOfInput());
        if (result.outcome != Scanned::NeedMore) return result;
        input.fill();
    }
}

constexpr const char* kInteger = "an integer";
constexpr const char* kAnyInt32 = "an integer from -2147483648 to 2147483647";
// A person number must leave room for its 1-based successor.
constexpr const char* kPersonRange = "a person number from -2147483648 to 2147483646";

// Reads an integer no greater than `largest`; `range` names what is allowed.
std::variant<std::int32_t, ReadError> readInteger(ByteInput& input, std::int32_t largest, const char* range) {
    if (!skipSpace(input)) {
        if (input.readError() != 0) return readFailure(input);
        return errorHere(input, kInteger);
    }
    const IntegerScan scan = scanField(input, scanInteger);
    if (input.readError() != 0) return readFailure(input);
    if (scan.outcome == Scanned::NoNumber) return errorHere(input, kInteger);
    if (scan.outcome == Scanned::OutOfRange || scan.value > largest) return errorHere(input, range, scan.stop);
    input.advanceTo(scan.stop);
    return scan.value;
}

std::variant<std::int32_t, ReadError> readCount(ByteInput& input) {
    return readInteger(input, std::numeric_limits<std::int32_t>::max(), kAnyInt32);
}

std::variant<std::int32_t, ReadError> readPerson(ByteInput& input) {
    return readInteger(input, std::numeric_limits<std::int32_t>::max() - 1, kPersonRange);
}

std::variant<double, ReadError> readWeight(ByteInput& input) {
    if (!skipSpace(input)) {
        if (input.readError() != 0) return readFailure(input);
        return errorHere(input, "a real number");
    }
    const RealScan scan = scanField(input, scanReal);
    if (input.readError() != 0) return readFailure(input);
    if (scan.outcome == Scanned::NoNumber) return errorHere(input, "a real number");
    if (!scaleWeight(scan.value)) {
        return errorHere(input, "a weight above -214748.3649 and below 214748.3648", scan.stop);
    }
    input.advanceTo(scan.stop);
    return scan.value;
}

}  // namespace

std::variant<ListHeader, ReadError> readHeader(ByteInput& input) {
    ListHeader header;
    auto people = readCount(input);
    if (auto* error = std::get_if<ReadError>(&people)) return std::move(*error);
    header.people = std::get<std::int32_t>(people);
    auto count = readCount(input);
    if (auto* error = std::get_if<ReadError>(&count)) return std::move(*error);
    header.relationCount = std::get<std::int32_t>(count);
    return header;
}

std::variant<Relation, ReadError> readRelation(ByteInput& input) {
    Relation relation;
    auto first = readPerson(input);
    if (auto* error = std::get_if<ReadError>(&first)) return std::move(*error);
    relation.first = std::get<std::int32_t>(first);
    auto second = readPerson(input);
    if (auto* error = std::get_if<ReadError>(&second)) return std::move(*error);
    relation.second = std::get<std::int32_t>(second);
    auto weight = readWeight(input);
    if (auto* error = std::get_if<ReadError>(&weight)) return std::move(*error);
    relation.weight = std::get<double>(weight);
    return relation;
}

}  // namespace datmos
