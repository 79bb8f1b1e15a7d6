// A relation of three plain numbers read in one go: the fast path that
// both readers try first. Each scan reads in a padded window (a zero byte
// and readable padding after its end, which stops every scan), and gives
// the position after the whitespace that follows the number, or nullptr for
// anything else: a longer or unusual form, a number out of its field's
// range, a number not followed by whitespace. The readers then read that
// relation field by field, with the same values, or refuse it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "messages.h"
#include "number_scan.h"
#include "records.h"
#include "weight_scale.h"

namespace datmos {

// What a message shows of a weight that a refused first person number is
// glued to: its text [start, end), at most its last kGluedBytes, as both
// readers keep them.
inline constexpr std::size_t kGluedBytes = 64;
inline std::string_view gluedText(const char* start, const char* end) {
    if (static_cast<std::size_t>(end - start) > kGluedBytes) start = end - kGluedBytes;
    return {start, static_cast<std::size_t>(end - start)};
}

// A number that ends fewer than kMayGoOnBytes bytes before a read that
// failed, with no whitespace between, may have gone on: every form of a
// number shows that it has ended within so many bytes after it (an
// exponent's mark and sign, the rest of "infinity"), but for the bracket
// of a NaN, which is refused anyway. Both readers refuse such a field for
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

[[gnu::always_inline]] inline const char* scanPlainWeight(const char* s, double& weight) {
    // The most common form, whose weights are below 10 and always scale.
    if (const char* stop = scanOneDigitDecimal(s, weight)) [[likely]] return pastSpace(stop);
    s = scanPlainReal(s, weight);
    return s != nullptr && weightScales(weight) ? pastSpace(s) : nullptr;
}

[[gnu::always_inline]] inline const char* scanPlainRelation(const char* s, PersonRange persons, Relation& relation) {
    s = scanPlainPerson(s, persons, relation.first);
    if (s == nullptr) return nullptr;
    s = scanPlainPerson(s, persons, relation.second);
    if (s == nullptr) return nullptr;
    return scanPlainWeight(s, relation.weight);
}

}  // namespace datmos
