#include "number_scan.h"

#include <charconv>
#include <clocale>
#include <cmath>
#include <cstdlib>
#include <locale.h>
#include <string>

namespace datmos {

namespace {

// Steps past an optional "+" or "-"; true for "-".
bool skipSign(const char*& s, const char* end) {
    if (s == end || (*s != '+' && *s != '-')) return false;
    return *s++ == '-';
}

// More bytes can extend a scanned number only through a tail of at most
// 5 bytes that is not yet part of it ("e+" of "1e+5", "init" of
// "infinity", "x." of "0x.8p1"), or through the bracket of "nan(...)".
// A number followed by at least this many bytes is therefore complete.
constexpr std::ptrdiff_t kLookahead = 8;

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

// Where the hexadecimal number after "0x" ends: hex digits with an
// optional point, then an optional binary exponent "p", sign, digits. It is
// worked out here because from_chars in GCC 12 takes a second sign in the
// exponent ("0x1p+-8" as 2^-8, where strtod stops before the "p").
const char* hexNumberEnd(const char* s, const char* end) {
    while (s < end && isHexDigit(*s)) ++s;
    if (s < end && *s == '.') {
        ++s;
        while (s < end && isHexDigit(*s)) ++s;
    }
    if (s < end && (*s == 'p' || *s == 'P')) {
        const char* exponent = s + 1;
        if (exponent < end && (*exponent == '+' || *exponent == '-')) ++exponent;
        const char* digits = exponent;
        while (exponent < end && isDigit(*exponent)) ++exponent;
        if (exponent > digits) s = exponent;
    }
    return s;
}

// The magnitude at s, after the sign, as far as it goes before end:
// decimal or "0x" hexadecimal, "inf", "infinity", "nan", "nan(...)".
// Inlined, so that scanReal makes no call before the conversion.
[[gnu::always_inline]] inline std::from_chars_result parseMagnitude(const char* s, const char* end, double& magnitude) {
    if (s == end || *s == '-' || *s == '+') return {s, std::errc::invalid_argument};
    const bool hexPrefix = end - s >= 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X');
    const bool hexDigits =
        hexPrefix && end - s >= 3 && (isHexDigit(s[2]) || (s[2] == '.' && end - s >= 4 && isHexDigit(s[3])));
    if (hexDigits) return std::from_chars(s + 2, hexNumberEnd(s + 2, end), magnitude, std::chars_format::hex);
    if (hexPrefix) return {s + 1, std::errc{}};  // "0x" without hex digits is the number 0
    return std::from_chars(s, end, magnitude);
}

// The value of the number [p, stop), whose magnitude `parsed` gave.
double signedValue(const char* p, const char* stop, std::errc parsed, bool negative, double magnitude) {
    if (parsed == std::errc::result_out_of_range) return convertOutOfRange(p, stop);
    return negative ? -magnitude : magnitude;
}

}  // namespace

IntegerScan scanInteger(const char* p, const char* end, bool atEnd) {
    const char* s = p;
    const bool negative = skipSign(s, end);
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

RealScan scanReal(const char* p, const char* end, bool atEnd) {
    const char* s = p;
    const bool negative = skipSign(s, end);
    // The plain forms first, where nothing after them can make them longer.
    double value = 0.0;
    if (const char* stop = s[0] == '0' && (s[1] | 0x20) == 'x' ? scanPlainHex(s, negative, value)
                                                               : scanPlainDecimal(s, negative, value);
        stop != nullptr && (atEnd || end - stop >= kLookahead)) {
        return {Scanned::Number, stop, value};
    }
    double magnitude = 0.0;
    const std::from_chars_result parsed = parseMagnitude(s, end, magnitude);
    if (parsed.ec == std::errc::invalid_argument) {
        if (!atEnd && end - p < kLookahead) return {Scanned::NeedMore, end, 0.0};
        return {Scanned::NoNumber, s, 0.0};
    }
    const char* stop = parsed.ptr;
    if (!atEnd && (end - stop < kLookahead || (std::isnan(magnitude) && nanSequenceMayGoOn(stop, end)))) {
        return {Scanned::NeedMore, end, 0.0};
    }
    return {Scanned::Number, stop, signedValue(p, stop, parsed.ec, negative, magnitude)};
}

double realValue(const char* first, const char* last) {
    const char* s = first;
    const bool negative = skipSign(s, last);
    double magnitude = 0.0;
    const std::from_chars_result parsed = parseMagnitude(s, last, magnitude);
    return signedValue(first, parsed.ptr, parsed.ec, negative, magnitude);
}

}  // namespace datmos
