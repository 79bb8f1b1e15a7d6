#include "relation_list.h"

#include <bit>
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

// Eight bytes from s, the first in the lowest byte; the window's padding
// makes this safe up to its end.
std::uint64_t loadEight(const char* s) {
    std::uint64_t bytes;
    std::memcpy(&bytes, s, sizeof bytes);
    if constexpr (std::endian::native == std::endian::big) bytes = __builtin_bswap64(bytes);
    return bytes;
}

// How many of the eight bytes, from the first on, are decimal digits.
int leadingDigits(std::uint64_t bytes) {
    const std::uint64_t values = bytes ^ 0x3030303030303030;  // digits become 0 to 9
    const std::uint64_t overNine =
        (((values & 0x7F7F7F7F7F7F7F7F) + 0x7676767676767676) | values) & 0x8080808080808080;
    return overNine == 0 ? 8 : std::countr_zero(overNine) / 8;
}

// The value of the first `count` (1 to 8) digits of the eight bytes,
// combining digit pairs, then pairs of pairs, then the two halves.
std::uint32_t digitsValue(std::uint64_t bytes, int count) {
    std::uint64_t digits = (bytes & 0x0F0F0F0F0F0F0F0F) << (8 * (8 - count));
    digits = (digits * 10) + (digits >> 8);
    digits = (((digits & 0x000000FF000000FF) * 0x000F424000000064) +
              (((digits >> 16) & 0x000000FF000000FF) * 0x0000271000000001)) >> 32;
    return static_cast<std::uint32_t>(digits);
}

// Short plain decimals, by far the most common weights: at most 8 digits
// before the point, 7 after it and 15 in all, no exponent, whitespace
// after. The digits then form an integer below 2^53 and the scale is a
// power of ten up to 10^7, both exact in binary64, so one IEEE division
// gives the correctly rounded value. Anything else is left to the general
// path (false).
bool scanShortDecimal(const char* s, bool negative, RealScan& scan) {
    static constexpr double kPowersOfTen[] = {1e0, 1e1, 1e2, 1e3, 1e4, 1e5, 1e6, 1e7};
    const int wholeDigits = leadingDigits(loadEight(s));
    const std::uint64_t whole = wholeDigits == 0 ? 0 : digitsValue(loadEight(s), wholeDigits);
    s += wholeDigits;
    int decimals = 0;
    std::uint64_t digits = whole;
    if (*s == '.') {
        ++s;
        decimals = leadingDigits(loadEight(s));
        if (decimals == 8) return false;
        if (decimals > 0) digits = whole * static_cast<std::uint64_t>(kPowersOfTen[decimals]) + digitsValue(loadEight(s), decimals);
        s += decimals;
    }
    if (wholeDigits + decimals == 0 || !isSpace(*s)) return false;  // also a 9th whole digit
    const double magnitude = static_cast<double>(digits) / kPowersOfTen[decimals];
    scan = {Scanned::Number, s, negative ? -magnitude : magnitude};
    return true;
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
    if (RealScan scan; scanShortDecimal(s, negative, scan)) return scan;
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
constexpr const char* kReal = "a real number";
constexpr const char* kWeightRange = "a weight above -214748.3649 and below 214748.3648";

// Each read below stores the field and returns true, or fills `error`.

bool skipSpaceBefore(ByteInput& input, const char* expected, ReadError& error) {
    if (skipSpace(input)) return true;
    error = input.readError() != 0 ? readFailure(input) : errorHere(input, expected);
    return false;
}

// An integer no greater than `largest`; `range` names what is allowed.
bool readInteger(ByteInput& input, std::int32_t largest, const char* range, std::int32_t& value, ReadError& error) {
    if (!skipSpaceBefore(input, kInteger, error)) return false;
    const IntegerScan scan = scanField(input, [](const char* p, const char* end, bool atEnd) {
        return scanInteger(p, end, atEnd);
    });
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
    const RealScan scan = scanField(input, [](const char* p, const char* end, bool atEnd) {
        return scanReal(p, end, atEnd);
    });
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

// The common relation, three short numbers each followed by whitespace,
// read in one go. The window ends in a 0 byte, so no scan runs past it.
// Anything unusual (a long or malformed number, a number at the window's
// end, a weight outside the range) returns nullptr and is left to the
// field-by-field path, which gives the same values and the errors.
const char* skipSpaceFast(const char* s) {
    while (isSpace(*s)) ++s;
    return s;
}

// At most 8 digits, so that the value fits in 32 bits, and whitespace after.
const char* scanShortInteger(const char* s, std::int32_t& value) {
    const bool negative = *s == '-';
    if (*s == '-' || *s == '+') ++s;
    const std::uint64_t bytes = loadEight(s);
    const int count = leadingDigits(bytes);
    if (count == 0 || !isSpace(s[count])) return nullptr;
    const auto magnitude = static_cast<std::int32_t>(digitsValue(bytes, count));
    value = negative ? -magnitude : magnitude;
    return s + count;
}

const char* scanRelationFast(const char* s, Relation& relation) {
    s = scanShortInteger(skipSpaceFast(s), relation.first);
    if (s == nullptr) return nullptr;
    s = scanShortInteger(skipSpaceFast(s), relation.second);
    if (s == nullptr) return nullptr;
    s = skipSpaceFast(s);
    const bool negative = *s == '-';
    if (*s == '-' || *s == '+') ++s;
    RealScan scan{};
    if (!scanShortDecimal(s, negative, scan)) return nullptr;
    // Below this bound every weight scales into 32 bits.
    if (!(std::fabs(scan.value) < 214748.0) && !scaleWeight(scan.value)) return nullptr;
    relation.weight = scan.value;
    return scan.stop;
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
    if (readPerson(input, relation.first, error) && readPerson(input, relation.second, error) &&
        readWeight(input, relation.weight, error)) {
        return relation;
    }
    return error;
}

}  // namespace datmos
