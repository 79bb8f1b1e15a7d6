// A relation of three plain numbers read in one go: the fast path that
// the reader tries first, in a stream and in a chunk alike. Each scan
// reads in a padded window (a zero byte and readable padding after its
// end, which stops every scan), and gives the position after the
// whitespace that follows the number, or nullptr for anything else: a
// longer or unusual form, a number out of its field's range, a number not
// followed by whitespace. The reader then reads that relation field by
// field, with the same values, or refuses it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include "decimal_scaling.h"
#include "number_scan.h"
#include "records.h"
#include "weight_scale.h"

namespace datmos {

// A number that ends fewer than kMayGoOnBytes bytes before a read that
// failed, with no whitespace between, may have gone on: every form of a
// number shows that it has ended within so many bytes after it (an
// exponent's mark and sign, the rest of "infinity"), but for the bracket
// of a NaN, which is refused anyway. The reader refuses such a field for
// the read error, as one that holds no number and begins as close; any
// other field is judged on what was read. The bound, far below any window,
// makes the outcome the same however much of the input a reader holds.
inline constexpr std::ptrdiff_t kMayGoOnBytes = 8;
// Whether the number ending at `stop` may have gone on past `failure`.
inline bool mayGoOnTo(const char* stop, const char* failure) {
    if (failure - stop >= kMayGoOnBytes) return false;
    for (const char* p = stop; p < failure; ++p) {
        if (isSpace(*p)) return false;
    }
    return true;
}

[[gnu::always_inline]] inline const char* pastSpace(const char* s) {
    if (!isSpace(*s)) return nullptr;
    do ++s;
    while (isSpace(*s));
    return s;
}

// The person numbers a relation may hold: [lowest, largest], lowest at
// most 0.
struct PersonRange {
    std::int32_t lowest;
    std::int32_t largest;
};

[[gnu::noinline]] inline const char* scanPlainSignedPerson(const char* s, PersonRange range, std::int32_t& person) {
    s = scanPlainInteger(s, person);
    return s != nullptr && person >= range.lowest && person <= range.largest ? pastSpace(s) : nullptr;
}

// Most person numbers have no sign: then nothing but the digits needs a
// look, eight at a time.
[[gnu::always_inline]] inline const char* scanPlainPerson(const char* s, PersonRange range, std::int32_t& person) {
    const std::uint64_t bytes = loadEight(s);
    int count = leadingDigits(bytes);
    if (count == 0) [[unlikely]] return scanPlainSignedPerson(s, range, person);
    std::uint64_t value = digitsValue(bytes, count);
    if (count == 8) {  // up to two digits more
        const std::uint64_t more = loadEight(s + 8);
        const int extra = leadingDigits(more);
        if (extra > 2) return nullptr;
        if (extra > 0) value = value * (extra == 1 ? 10 : 100) + digitsValue(more, extra);
        count += extra;
    }
    // No sign: at least 0, and so at least range.lowest.
    if (static_cast<std::int64_t>(value) > range.largest) return nullptr;
    person = static_cast<std::int32_t>(value);
    return pastSpace(s + count);
}

// The most common weight: an optional "-", one digit, a point and up to 6
// decimals, followed by whitespace. With the point dropped, the digits
// form an integer of at most 7 digits, which one IEEE division by an exact
// power of ten turns into the correctly rounded value. Returns the
// position of the whitespace, or nullptr for any other form.
inline const char* scanOneDigitDecimal(const char* s, double& value) {
    if constexpr (!kExactDoubleArithmetic) return nullptr;
    // By digit count, 1 digit before the point: 10^(count - 1). Counts of 0
    // and 8 cannot occur; their entries keep every index in bounds.
    static constexpr double kScales[] = {1e0, 1e0, 1e1, 1e2, 1e3, 1e4, 1e5, 1e6, 1e7};
    const bool negative = *s == '-';
    s += static_cast<int>(negative);
    if (!isDigit(s[0]) || s[1] != '.') return nullptr;
    const std::uint64_t bytes = loadEight(s);
    // The point dropped: the first digit stays, the decimals move down a
    // byte, and the top byte becomes 0, so at most 7 digits are counted.
    const std::uint64_t digits = (bytes & 0xFF) | ((bytes >> 8) & ~std::uint64_t{0xFF});
    const int count = leadingDigits(digits);
    if (!isSpace(s[count + 1])) return nullptr;
    const double magnitude =
        static_cast<double>(static_cast<std::int64_t>(digitsValue(digits, count))) / kScales[count];
    // The sign bit set without a branch: signs come mixed in no order.
    value = std::bit_cast<double>(std::bit_cast<std::uint64_t>(magnitude) | std::uint64_t{negative} << 63);
    return s + count + 1;
}

[[gnu::always_inline]] inline const char* scanPlainWeight(const char* s, double& weight) {
    // The most common form, whose weights are below 10 and always scale.
    if (const char* stop = scanOneDigitDecimal(s, weight)) [[likely]] return pastSpace(stop);
    s = scanPlainReal(s, weight);
    return s != nullptr && weightScales(weight) ? pastSpace(s) : nullptr;
}

// The scaled value of a weight through its double: a hexadecimal one
// (stop null), or a plain decimal whose digits leave it undecided
// (digitsStart to stop, digits * 10^power). Out of line, so that the usual
// forms' loop keeps its values in registers.
[[gnu::noinline]] inline const char* scaleThroughDouble(const char* digitsStart, const char* stop,
                                                        std::uint64_t digits, int power, bool negative,
                                                        std::int32_t& scaled) {
    double weight = 0.0;
    if (stop == nullptr) {
        stop = scanPlainHex(digitsStart, negative, weight);
    } else if (!plainDecimalValue(digitsStart, stop, digits, power, negative, weight)) {
        return nullptr;
    }
    const std::optional<std::int32_t> value = scaleWeight(weight);
    if (stop == nullptr || !value) return nullptr;
    scaled = *value;
    return pastSpace(stop);
}

// A weight that only its scaled value is wanted of. A plain decimal with
// more digits than the data file keeps is mostly scaled from its digits,
// with no double made; any other weight through its double.
[[gnu::always_inline]] inline const char* scanPlainScaledWeight(const char* s, std::int32_t& scaled) {
    double weight = 0.0;
    if (const char* stop = scanOneDigitDecimal(s, weight)) [[likely]] {
        // Below 10: always within the data file's range.
        scaled = scaleWeight(weight).value_or(0);
        return pastSpace(stop);
    }
    const bool negative = *s == '-';
    const char* const digitsStart = s + static_cast<int>(*s == '-' || *s == '+');
    std::uint64_t digits = 0;
    int power = 0;
    const bool hex = digitsStart[1] == 'x' || digitsStart[1] == 'X';
    const char* const stop = hex ? nullptr : gatherPlainDecimal(digitsStart, digits, power);
    if (stop == nullptr && !hex) return nullptr;
    // Digits that end in a zero, as the exponent forms of printf pad them,
    // mostly leave nothing past the data file's unit: then the digits
    // can't decide, and where the double takes one IEEE operation, the
    // division that finds that out would only add to it.
    const bool worthTrying = digits % 10 != 0 || digits > std::uint64_t{1} << 53 || power < -kLargestExactPowerOfTen;
    if (const std::optional<std::int32_t> fromDigits =
            hex || !worthTrying ? std::nullopt : scaleDecimal(digits, power, negative)) {
        scaled = *fromDigits;
        return pastSpace(stop);
    }
    return scaleThroughDouble(digitsStart, stop, digits, power, negative, scaled);
}

[[gnu::always_inline]] inline const char* scanPlainWeightOf(const char* s, Relation& relation) {
    return scanPlainWeight(s, relation.weight);
}
[[gnu::always_inline]] inline const char* scanPlainWeightOf(const char* s, ScaledRelation& relation) {
    return scanPlainScaledWeight(s, relation.scaledWeight);
}

template <typename Record>
[[gnu::always_inline]] inline const char* scanPlainRelation(const char* s, PersonRange persons, Record& relation) {
    s = scanPlainPerson(s, persons, relation.first);
    if (s == nullptr) return nullptr;
    s = scanPlainPerson(s, persons, relation.second);
    if (s == nullptr) return nullptr;
    return scanPlainWeightOf(s, relation);
}

}  // namespace datmos
