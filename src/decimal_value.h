// The binary64 value nearest to a decimal number digits * 10^power, with
// integer arithmetic only, for up to 19 significant digits: the method of
// Eisel and Lemire. It multiplies the digits by a 128-bit truncation of
// the power of ten's significand and reads the correctly rounded value
// from the top bits of the product, except in the rare case where the
// truncation leaves the rounding undecided; then it gives up (false) and
// the caller converts the decimal text the slow way.
//
// Kept because it pays: digits and power come from the reader's own scan,
// where a library's from_chars reads the text again. Measured with, in its
// place (same reader, same fast path before it), std::from_chars of
// libstdc++ 12 (std) and the from_chars of Debian's header-only
// libfast-float-dev 3.9 (pkg): their time over this one's, medians of
// paired runs on a shared 2-core machine.
//
//   weights     converter on 2M relations,       reading 100000 relations,
//               4 times 25 pairs: CPU  wall       CPU, 2 times 12 rounds
//   full        std  1.08-1.10   1.05-1.20        1.17
//               pkg  1.07-1.09   1.04-1.14        1.22-1.26
//   fractions   std  1.09-1.11   1.02-1.14        1.23-1.24
//               pkg  1.09-1.13   1.05-1.12        1.22-1.32
//   exponent    both 0.97-1.02   0.84-1.01        1.01-1.03
//
// (The exponent list's weights, of 1 to 7 digits, all take the fast path.)
#pragma once

#include <array>
#include <bit>
#include <cstdint>

namespace datmos {

inline constexpr int kSmallestPowerOfFive = -342;
inline constexpr int kLargestPowerOfFive = 308;

// For every power q of the range, 5^q scaled by a power of two into
// [2^127, 2^128): its 128 most significant bits, truncated for q >= 0 and
// rounded up for q < 0, as {high 64 bits, low 64 bits}.
extern const std::array<std::array<std::uint64_t, 2>, kLargestPowerOfFive - kSmallestPowerOfFive + 1>
    kPowersOfFive;

namespace decimal_value_detail {

struct Product {
    std::uint64_t high;
    std::uint64_t low;
};

// The full 128-bit product of two 64-bit numbers, from 32-bit halves
// where the compiler has no wider type.
inline Product multiply(std::uint64_t a, std::uint64_t b) {
#if defined(__SIZEOF_INT128__)
    __extension__ using Wide = unsigned __int128;
    const Wide product = static_cast<Wide>(a) * b;
    return {static_cast<std::uint64_t>(product >> 64), static_cast<std::uint64_t>(product)};
#else
    const std::uint64_t aLow = a & 0xFFFFFFFF, aHigh = a >> 32, bLow = b & 0xFFFFFFFF, bHigh = b >> 32;
    const std::uint64_t lowLow = aLow * bLow, lowHigh = aLow * bHigh, highLow = aHigh * bLow, highHigh = aHigh * bHigh;
    const std::uint64_t middle = (lowLow >> 32) + (lowHigh & 0xFFFFFFFF) + (highLow & 0xFFFFFFFF);
    return {highHigh + (lowHigh >> 32) + (highLow >> 32) + (middle >> 32), (middle << 32) | (lowLow & 0xFFFFFFFF)};
#endif
}

}  // namespace decimal_value_detail

// Sets `value` to the binary64 nearest to digits * 10^power (ties to even),
// negated if `negative`, and returns true; or returns false where the
// method can't decide.
inline bool decimalValue(std::uint64_t digits, int power, bool negative, double& value) {
    using decimal_value_detail::multiply;
    using decimal_value_detail::Product;
    constexpr int kSignificandBits = 52;  // stored, below the implicit bit
    constexpr int kBias = 1023;
    constexpr int kInfiniteExponent = 0x7FF;
    const auto signBit = static_cast<std::uint64_t>(negative) << 63;
    if (digits == 0 || power < kSmallestPowerOfFive) {
        value = std::bit_cast<double>(signBit);  // zero, or below half the smallest subnormal
        return true;
    }
    if (power > kLargestPowerOfFive) {
        value = std::bit_cast<double>(signBit | std::uint64_t{kInfiniteExponent} << kSignificandBits);
        return true;
    }
    // digits with its leading bit at the top.
    const int shift = std::countl_zero(digits);
    digits <<= shift;
    const auto& five = kPowersOfFive[static_cast<std::size_t>(power - kSmallestPowerOfFive)];
    // The bits that decide the value are the top 55 of the product with the
    // power's 128 bits; the first 64 of them decide it unless all the bits
    // below those 55 are ones, where the second 64 bits may carry into them.
    constexpr std::uint64_t kUndecided = ~std::uint64_t{0} >> (kSignificandBits + 3);
    Product product = multiply(digits, five[0]);
    if ((product.high & kUndecided) == kUndecided) {
        const Product second = multiply(digits, five[1]);
        if (__builtin_add_overflow(product.low, second.high, &product.low)) ++product.high;  // the carry
        // Still all ones below: the truncated power can't tell which way to
        // round, except where it is exact (5^power fits in 128 bits with
        // digits < 2^64: power from 0 to 55; the rounded-up reciprocal is
        // exact enough for power from -27).
        if (product.low == ~std::uint64_t{0} && (power < -27 || power > 55)) return false;
    }
    const int upper = static_cast<int>(product.high >> 63);
    std::uint64_t significand = product.high >> (upper + 64 - kSignificandBits - 3);
    // floor(log2(10^power)) + 63, from floor(power * log2(10) * 2^16) / 2^16.
    const int binaryPower = ((152170 + 65536) * power >> 16) + 63;
    int exponent = binaryPower + upper - shift + kBias;  // biased, of the result
    if (exponent <= 0) {
        // A subnormal: shift the significand down to the smallest exponent,
        // then round half up (ties can't occur this far down).
        if (1 - exponent >= 64) {
            value = std::bit_cast<double>(signBit);
            return true;
        }
        significand >>= 1 - exponent;
        significand += significand & 1;
        significand >>= 1;
        // Rounding up may have made it the smallest normal number.
        exponent = significand < (std::uint64_t{1} << kSignificandBits) ? 0 : 1;
        value = std::bit_cast<double>(signBit | static_cast<std::uint64_t>(exponent) << kSignificandBits |
                                      (significand & ((std::uint64_t{1} << kSignificandBits) - 1)));
        return true;
    }
    // A tie between two doubles is only possible for powers from -4 to 23,
    // where the product is exact: if only zeros were shifted out below the
    // rounding bit, round to even rather than up.
    if (product.low <= 1 && power >= -4 && power <= 23 && (significand & 3) == 1 &&
        (significand << (upper + 64 - kSignificandBits - 3)) == product.high) {
        significand &= ~std::uint64_t{1};
    }
    significand += significand & 1;  // round half up
    significand >>= 1;
    if (significand >= (std::uint64_t{2} << kSignificandBits)) {  // rounding carried into a new bit
        significand = std::uint64_t{1} << kSignificandBits;
        ++exponent;
    }
    significand &= ~(std::uint64_t{1} << kSignificandBits);  // the implicit bit
    if (exponent >= kInfiniteExponent) {
        exponent = kInfiniteExponent;
        significand = 0;
    }
    value = std::bit_cast<double>(signBit | static_cast<std::uint64_t>(exponent) << kSignificandBits | significand);
    return true;
}

}  // namespace datmos
