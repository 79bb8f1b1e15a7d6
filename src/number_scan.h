// Scanning numbers as the C formatted input reads them in the C locale:
// the general integer and real syntax (scanInteger, scanReal), and plain
// forms read in one pass for the numbers that make up most relation lists.
// Every scan reads [p, end) of a PaddedBytes window (padded_bytes.h).
#pragma once

#include <array>
#include <bit>
#include <cfloat>
#include <charconv>
#include <cstdint>
#include <cstring>
#include <limits>

#include "decimal_value.h"
#include "padded_bytes.h"

namespace datmos {

// The fast forms below turn digits into a binary64 value with one IEEE
// division or multiplication, which is correctly rounded only where double
// is IEEE binary64, the rounding is to nearest (the program never changes
// it) and arithmetic is done in the type's own precision. With excess
// precision (the x87 unit, FLT_EVAL_METHOD 2) the result would be rounded
// twice, so there they are not used.
static_assert(std::numeric_limits<double>::is_iec559 && std::numeric_limits<double>::digits == 53,
              "double must be IEEE binary64");
inline constexpr bool kExactDoubleArithmetic = FLT_EVAL_METHOD == 0;

// A function whose unsigned arithmetic drops high bits on purpose, passed
// by clang's integer checks (DATMOS_SANITIZE=integer); others have none.
#if defined(__clang__)
#define DATMOS_WRAPS_ON_PURPOSE __attribute__((no_sanitize("unsigned-integer-overflow", "unsigned-shift-base")))
#else
#define DATMOS_WRAPS_ON_PURPOSE
#endif

// Space, or one of tab, line feed, vertical tab, form feed, carriage
// return (9 to 13). A table, as the hot loops test every byte.
inline constexpr auto kSpaceBytes = [] {
    std::array<bool, 256> table{};
    for (const unsigned char c : {' ', '\t', '\n', '\v', '\f', '\r'}) table[c] = true;
    return table;
}();
inline bool isSpace(char c) { return kSpaceBytes[static_cast<unsigned char>(c)]; }
inline bool isDigit(char c) { return c >= '0' && c <= '9'; }
inline bool isHexDigit(char c) {
    return isDigit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}
// A byte of the sequence in "nan(...)".
inline bool isNanChar(char c) {
    return isDigit(c) || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_';
}
enum class Scanned { Number, NoNumber, OutOfRange, NeedMore };

struct IntegerScan {
    Scanned outcome;
    const char* stop;
    std::int32_t value;
};

struct RealScan {
    Scanned outcome;
    const char* stop;
    double value;
};

// Base-10 integer with optional sign, as "%d" takes it, in [p, end). With
// atEnd false, a number that may go on past end gives NeedMore.
IntegerScan scanInteger(const char* p, const char* end, bool atEnd);

// A real number as "%lf" (strtod) takes it, in [p, end): optional sign,
// decimal or "0x" hexadecimal forms, "inf", "infinity", "nan", "nan(...)".
// With atEnd false, a number that may go on past end gives NeedMore.
RealScan scanReal(const char* p, const char* end, bool atEnd);

// The plain forms below read up to 16 bytes past a digit, and stop at the
// first byte that can't continue their form: the zero byte and padding
// after a PaddedBytes window allow both without testing for the end.

// Eight bytes from s, the first in the lowest byte: SWAR, one register
// holding eight digits to be tested and combined at once.
inline std::uint64_t loadEight(const char* s) {
    std::uint64_t bytes;
    std::memcpy(&bytes, s, sizeof bytes);
    if constexpr (std::endian::native == std::endian::big) bytes = __builtin_bswap64(bytes);
    return bytes;
}

// How many of the eight bytes, from the first on, are decimal digits.
inline int leadingDigits(std::uint64_t bytes) {
    const std::uint64_t values = bytes ^ 0x3030303030303030;  // digits become 0 to 9
    const std::uint64_t overNine =
        (((values & 0x7F7F7F7F7F7F7F7F) + 0x7676767676767676) | values) & 0x8080808080808080;
    return overNine == 0 ? 8 : std::countr_zero(overNine) / 8;
}

// The value of the first `count` (1 to 8) digits of the eight bytes. The
// digits are moved to the top (zero bytes, read as zeros, fill the bottom),
// then combined in pairs (10 * first + second, by 2561 = 10 * 2^8 + 1),
// pairs of pairs (by 100 * 2^16 + 1) and the two halves (by 10^4 * 2^32 + 1);
// each product leaves the combined value in the upper lane, the bits
// carried past the top dropped.
DATMOS_WRAPS_ON_PURPOSE inline std::uint32_t digitsValue(std::uint64_t bytes, int count) {
    std::uint64_t digits = (bytes & 0x0F0F0F0F0F0F0F0F) << (8 * (8 - count));
    digits = (digits * 2561) >> 8;
    digits = ((digits & 0x00FF00FF00FF00FF) * 6553601) >> 16;
    return static_cast<std::uint32_t>(((digits & 0x0000FFFF0000FFFF) * 42949672960001) >> 32);
}

// Plain forms, read in one pass right at s: each gives the position after
// the number, or nullptr for any other form (left to the general scanners,
// which give the same value for these forms).

// An integer of 1 to 10 digits with an optional sign, within 32 bits.
inline const char* scanPlainInteger(const char* s, std::int32_t& value) {
    const bool negative = *s == '-';
    s += static_cast<int>(*s == '-' || *s == '+');
    const std::uint64_t bytes = loadEight(s);
    int count = leadingDigits(bytes);
    if (count == 0) return nullptr;
    std::int64_t magnitude = digitsValue(bytes, count);
    if (count == 8) [[unlikely]] {  // up to two digits more
        const std::uint64_t more = loadEight(s + 8);
        const int extra = leadingDigits(more);
        if (extra > 2) return nullptr;
        if (extra > 0) magnitude = magnitude * (extra == 1 ? 10 : 100) + digitsValue(more, extra);
        count += extra;
        if (magnitude > std::int64_t{std::numeric_limits<std::int32_t>::max()} + negative) return nullptr;
    }
    value = static_cast<std::int32_t>(negative ? -magnitude : magnitude);
    return s + count;
}

// Powers of ten that binary64 holds exactly: 10^22 = 2^22 * 5^22, and 5^22
// < 2^53.
inline constexpr int kLargestExactPowerOfTen = 22;
inline constexpr auto kExactPowersOfTen = [] {
    std::array<double, kLargestExactPowerOfTen + 1> powers{};
    double power = 1.0;
    for (double& entry : powers) {
        entry = power;
        power *= 10.0;
    }
    return powers;
}();

// An exponent's optional sign and 1 to 4 digits from e on, just past its
// letter, into `exponent`: the end of the digits, or null.
inline const char* scanShortExponent(const char* e, int& exponent) {
    const bool negative = *e == '-';
    e += static_cast<int>(*e == '-' || *e == '+');
    const char* const digits = e;
    for (; isDigit(*e) && e - digits < 5; ++e) exponent = exponent * 10 + (*e - '0');
    if (e == digits || e - digits == 5) return nullptr;
    if (negative) exponent = -exponent;
    return e;
}

// Up to 19 decimal digits with a point anywhere, and up to 4 digits of
// exponent, gathered in one pass: the value is digits * 10^power. Gives the
// end of the number, or null for another form. `s` is past the sign.
inline const char* gatherPlainDecimal(const char* s, std::uint64_t& digits, int& power) {
    static constexpr std::uint64_t kScales[] = {1, 10, 100, 1000, 10000, 100000, 1000000, 10000000, 100000000};
    constexpr int kMostDigits = 19;  // below 2^64
    digits = 0;
    int count = 0;
    int fractionDigits = 0;
    for (bool fraction = false;; fraction = true) {
        for (;;) {
            const std::uint64_t bytes = loadEight(s);
            const int run = leadingDigits(bytes);
            if (run == 0) break;
            count += run;
            if (count > kMostDigits) return nullptr;
            digits = digits * kScales[run] + digitsValue(bytes, run);
            s += run;
            if (fraction) fractionDigits += run;
            if (run < 8) break;
        }
        if (fraction || *s != '.') break;
        ++s;
    }
    if (count == 0) return nullptr;
    int exponent = 0;
    if ((*s | 0x20) == 'e' && (s = scanShortExponent(s + 1, exponent)) == nullptr) return nullptr;
    power = exponent - fractionDigits;
    return s;
}

// The correctly rounded value of the decimal [start, stop) that
// gatherPlainDecimal gathered. Digits up to 2^53 and a power of ten up to
// 10^22 are exact in binary64, so that one IEEE operation gives it (the
// fast path of Clinger's method); the rest goes to decimalValue, and the
// rare decimal that it can't decide to from_chars, both correctly rounding
// too. False beyond binary64's range.
inline bool plainDecimalValue(const char* start, const char* stop, std::uint64_t digits, int power, bool negative,
                              double& value) {
    if (kExactDoubleArithmetic && digits <= std::uint64_t{1} << 53 && power >= -kLargestExactPowerOfTen &&
        power <= kLargestExactPowerOfTen) {
        double magnitude = static_cast<double>(digits);
        magnitude = power < 0 ? magnitude / kExactPowersOfTen[static_cast<std::size_t>(-power)]
                              : magnitude * kExactPowersOfTen[static_cast<std::size_t>(power)];
        value = negative ? -magnitude : magnitude;
        return true;
    }
    if (decimalValue(digits, power, negative, value)) return true;
    double magnitude = 0.0;
    const auto parsed = std::from_chars(start, stop, magnitude);
    if (parsed.ptr != stop || parsed.ec != std::errc{}) return false;
    value = negative ? -magnitude : magnitude;
    return true;
}

// A plain decimal and its value. `s` is past the sign.
inline const char* scanPlainDecimal(const char* s, bool negative, double& value) {
    std::uint64_t digits = 0;
    int power = 0;
    const char* const stop = gatherPlainDecimal(s, digits, power);
    return stop != nullptr && plainDecimalValue(s, stop, digits, power, negative, value) ? stop : nullptr;
}

// The value of a hexadecimal digit, -1 for any other byte. A table: the
// digits and letters of a hexadecimal fraction come in no predictable
// order, and a test of which kind a byte is would mostly be mispredicted.
inline constexpr auto kHexDigitValues = [] {
    std::array<std::int8_t, 256> table{};
    table.fill(-1);
    for (int i = 0; i < 10; ++i) table['0' + i] = static_cast<std::int8_t>(i);
    for (int i = 0; i < 6; ++i) table['a' + i] = table['A' + i] = static_cast<std::int8_t>(10 + i);
    return table;
}();
inline int hexDigitValue(char c) { return kHexDigitValues[static_cast<unsigned char>(c)]; }

// "0x" and up to 15 hexadecimal digits with a point anywhere, and a binary
// exponent "p" of up to 4 digits. Where the digits form an integer below
// 2^53, the value is that integer times a power of two: exact in binary64
// while it stays a normal number, as is checked; the rest goes to the
// general scanner. `s` is past the sign.
inline const char* scanPlainHex(const char* s, bool negative, double& value) {
    constexpr int kMostDigits = 15;  // 60 bits
    if (s[0] != '0' || (s[1] | 0x20) != 'x') return nullptr;
    s += 2;
    std::uint64_t digits = 0;
    int count = 0;
    int fractionDigits = 0;
    bool point = false;
    for (;; ++s) {
        const int digit = hexDigitValue(*s);
        if (digit >= 0) {
            if (++count > kMostDigits) return nullptr;
            digits = digits << 4 | static_cast<unsigned>(digit);
            fractionDigits += static_cast<int>(point);
        } else if (*s == '.' && !point) {
            point = true;
        } else {
            break;
        }
    }
    if (count == 0) return nullptr;
    int exponent = 0;
    if ((*s | 0x20) == 'p' && (s = scanShortExponent(s + 1, exponent)) == nullptr) return nullptr;
    const int power = exponent - 4 * fractionDigits;
    double magnitude = 0.0;
    if (digits != 0) {
        // With digits below 2^53, digits * 2^power is normal (at least
        // 2^-1022, below 2^1024) for power from -1022 to 970.
        if (digits >= std::uint64_t{1} << 53 || power < -1022 || power > 970) return nullptr;
        const double scale = std::bit_cast<double>(static_cast<std::uint64_t>(power + 1023) << 52);
        magnitude = static_cast<double>(digits) * scale;
    }
    value = negative ? -magnitude : magnitude;
    return s;
}

// A real number in decimal or hexadecimal plain form, with an optional sign.
inline const char* scanPlainReal(const char* s, double& value) {
    const bool negative = *s == '-';
    s += static_cast<int>(*s == '-' || *s == '+');
    if (s[1] == 'x' || s[1] == 'X') return scanPlainHex(s, negative, value);
    return scanPlainDecimal(s, negative, value);
}

// The value that scanReal gives for [first, last), one whole real number
// (for numbers too long for a window, see long_number.h).
double realValue(const char* first, const char* last);

}  // namespace datmos
