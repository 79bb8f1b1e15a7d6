#include "long_number.h"

#include <algorithm>
#include <charconv>
#include <cstdint>

namespace datmos {
namespace {

// How many significant digits of a long number are kept; of the rest, only
// whether one of them is not zero. A decimal real needs 768: every value
// where the rounding to binary64 changes (a midpoint between neighbours,
// the threshold below which values round to zero) is written exactly in at
// most 768 significant digits. So the kept digits, followed by a 1 when a
// dropped digit is not zero, round as the whole number does.
constexpr std::size_t kDecimalDigits = 800;
// Hexadecimal: 53 bits and the rounding bit span at most 15 digits.
constexpr std::size_t kHexDigits = 32;
// An integer of 11 digits is beyond 32 bits, whatever digits follow.
constexpr std::size_t kIntegerDigits = 11;
// Exponents saturate here: far beyond the range of binary64, yet far from
// overflowing 64 bits when a count of digits is added.
constexpr std::int64_t kExponentLimit = std::int64_t{1} << 59;
// The exponent of the short text: beyond the range, whatever its digits.
constexpr std::int64_t kTextExponentLimit = 1000000;

// isDigit as an object, so that the loops over digits inline it.
constexpr auto kDecimalDigit = [](char c) { return isDigit(c); };

// Moves the cursor over the run of bytes that `belongs` accepts, across as
// many windows as it spans, handing each piece to `take`; stops on the
// first other byte, or at the end of the input.
template <typename Belongs, typename Take>
void streamRun(ByteInput& input, Belongs belongs, Take take) {
    for (;;) {
        const char* first = input.cursor();
        const char* last = first;
        while (last < input.end() && belongs(*last)) ++last;
        take(first, last);
        input.advanceTo(last);
        if (last < input.end() || !input.fill()) return;
    }
}

// The significant digits of a long number, as many as are kept, and where
// its point stands: the value is 0.<digits> times the base to the power
// point() (times more, dropped digits).
class Significand {
public:
    explicit Significand(std::size_t kept) : kept_(kept) { digits_.reserve(kept); }

    // Digits before the point (whole) or after it.
    void take(const char* first, const char* last, bool whole) {
        if (digits_.empty()) {  // leading zeros; each one after the point moves it
            const char* nonZero = std::find_if(first, last, [](char c) { return c != '0'; });
            if (!whole) point_ -= nonZero - first;
            first = nonZero;
        }
        if (whole) point_ += last - first;
        const auto taken = std::min(kept_ - digits_.size(), static_cast<std::size_t>(last - first));
        digits_.append(first, taken);
        if (!sticky_) sticky_ = std::any_of(first + taken, last, [](char c) { return c != '0'; });
    }

    const std::string& digits() const { return digits_; }
    std::int64_t point() const { return point_; }
    // Whether a dropped digit is not zero.
    bool sticky() const { return sticky_; }

private:
    std::size_t kept_;
    std::string digits_;
    std::int64_t point_ = 0;
    bool sticky_ = false;
};

// Keeps the first bytes of the number at the cursor in head and steps past
// its sign, with which the short text of the number starts.
std::string startLong(ByteInput& input, std::string& head) {
    const char* s = input.cursor();
    head.assign(s, std::min(static_cast<std::size_t>(input.end() - s), ByteInput::kLeastWindow));
    std::string sign = *s == '-' || *s == '+' ? std::string(1, *s) : "";
    input.advanceTo(s + sign.size());
    return sign;
}

// Cuts head at the stop, `length` bytes after the number's start.
void cutHead(std::string& head, std::uint64_t length) {
    if (length < head.size()) head.resize(static_cast<std::size_t>(length));
}

// The digits of a mantissa, with an optional point among them.
template <typename IsDigitOf>
Significand streamMantissa(ByteInput& input, IsDigitOf isDigitOf, std::size_t kept) {
    Significand significand(kept);
    streamRun(input, isDigitOf, [&](const char* first, const char* last) { significand.take(first, last, true); });
    if (*input.cursor() == '.') {
        input.advanceTo(input.cursor() + 1);
        streamRun(input, isDigitOf, [&](const char* first, const char* last) { significand.take(first, last, false); });
    }
    return significand;
}

// The exponent that may follow a mantissa: `mark` ('e' or 'p', either
// case), an optional sign and decimal digits. Without a digit there is
// none: 0, with the cursor left on the mark.
std::int64_t streamExponent(ByteInput& input, char mark) {
    // The mark, a sign and a digit decide; they stay in the window.
    while (input.end() - input.cursor() < 3 && input.fill()) {
    }
    const char* s = input.cursor();
    if ((*s | 0x20) != mark) return 0;
    const bool negative = s[1] == '-';
    s += s[1] == '-' || s[1] == '+' ? 2 : 1;
    if (!isDigit(*s)) return 0;
    input.advanceTo(s);
    std::int64_t value = 0;
    streamRun(input, kDecimalDigit, [&](const char* first, const char* last) {
        for (; first < last && value < kExponentLimit; ++first) value = value * 10 + (*first - '0');
    });
    value = std::min(value, kExponentLimit);
    return negative ? -value : value;
}

bool startsNanBracket(const char* s) {
    return (s[0] | 0x20) == 'n' && (s[1] | 0x20) == 'a' && (s[2] | 0x20) == 'n' && s[3] == '(';
}

// The short text of a long real after its sign: "0.<digits>[1]e<exponent>"
// or "0x.<digits>[1]p<exponent>", the 1 standing for dropped digits that
// are not all zero.
std::string shortReal(const Significand& significand, bool hex, std::int64_t exponent) {
    if (significand.digits().empty()) return "0";
    const std::int64_t point = std::clamp(significand.point(), -kExponentLimit, kExponentLimit) * (hex ? 4 : 1);
    return (hex ? "0x." : "0.") + significand.digits() + (significand.sticky() ? "1" : "") + (hex ? "p" : "e") +
           std::to_string(std::clamp(point + exponent, -kTextExponentLimit, kTextExponentLimit));
}

}  // namespace

IntegerScan scanLongInteger(ByteInput& input, std::string& head) {
    const std::uint64_t start = input.offsetOf(input.cursor());
    const std::string sign = startLong(input, head);
    Significand significand(kIntegerDigits);
    streamRun(input, kDecimalDigit, [&](const char* first, const char* last) { significand.take(first, last, true); });
    cutHead(head, input.offsetOf(input.cursor()) - start);
    // At most 11 significant digits, which tell whether it fits.
    const std::string text = (sign == "-" ? sign : "") + (significand.digits().empty() ? "0" : significand.digits());
    std::int32_t value = 0;
    const auto parsed = std::from_chars(text.data(), text.data() + text.size(), value);
    if (parsed.ec == std::errc::result_out_of_range) return {Scanned::OutOfRange, input.cursor(), 0};
    return {Scanned::Number, input.cursor(), value};
}

RealScan scanLongReal(ByteInput& input, std::string& head) {
    const std::uint64_t start = input.offsetOf(input.cursor());
    const std::string sign = startLong(input, head);
    const char* s = input.cursor();
    std::string text;
    if (startsNanBracket(s)) {
        // Only whether the bracket closes tells where the number stops; the
        // value is NaN either way.
        input.advanceTo(s + 4);
        streamRun(input, isNanChar, [](const char*, const char*) {});
        const bool closed = *input.cursor() == ')';
        if (closed) input.advanceTo(input.cursor() + 1);
        cutHead(head, closed ? input.offsetOf(input.cursor()) - start : sign.size() + 3);
        text = sign + "nan";
    } else {
        const bool hex = s[0] == '0' && (s[1] | 0x20) == 'x';
        if (hex) input.advanceTo(s + 2);
        const Significand significand = hex ? streamMantissa(input, isHexDigit, kHexDigits)
                                            : streamMantissa(input, kDecimalDigit, kDecimalDigits);
        const std::int64_t exponent = streamExponent(input, hex ? 'p' : 'e');
        cutHead(head, input.offsetOf(input.cursor()) - start);
        text = sign + shortReal(significand, hex, exponent);
    }
    return {Scanned::Number, input.cursor(), realValue(text.data(), text.data() + text.size())};
}

}  // namespace datmos
