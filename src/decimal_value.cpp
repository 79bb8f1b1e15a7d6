#include "decimal_value.h"

#include <cstddef>

namespace datmos {
namespace {

// The table is worked out by the compiler from exact integers of up to
// 1792 bits: 5^342 has 795 bits, and the largest numerator used, 2^1718,
// stays below 2^1791.
constexpr int kLimbs = 28;
constexpr int kNumeratorBits = 64 * kLimbs - 1;
using Big = std::array<std::uint64_t, kLimbs>;  // least significant limb first

constexpr int bitLength(const Big& x) {
    for (int i = kLimbs - 1; i >= 0; --i) {
        if (x[static_cast<std::size_t>(i)] != 0) return 64 * i + 64 - std::countl_zero(x[static_cast<std::size_t>(i)]);
    }
    return 0;
}

constexpr Big shiftedLeft(const Big& x, int bits) {
    Big result{};
    const int limbs = bits / 64, rest = bits % 64;
    for (int i = kLimbs - 1; i >= limbs; --i) {
        const auto from = static_cast<std::size_t>(i - limbs);
        std::uint64_t limb = x[from] << rest;
        if (rest != 0 && from > 0) limb |= x[from - 1] >> (64 - rest);
        result[static_cast<std::size_t>(i)] = limb;
    }
    return result;
}

constexpr Big shiftedRight(const Big& x, int bits) {
    Big result{};
    const int limbs = bits / 64, rest = bits % 64;
    for (int i = 0; i + limbs < kLimbs; ++i) {
        const auto from = static_cast<std::size_t>(i + limbs);
        std::uint64_t limb = x[from] >> rest;
        if (rest != 0 && from + 1 < kLimbs) limb |= x[from + 1] << (64 - rest);
        result[static_cast<std::size_t>(i)] = limb;
    }
    return result;
}

constexpr Big plusOne(Big x) {
    for (std::uint64_t& limb : x) {
        if (++limb != 0) break;
    }
    return x;
}

// x * 5 as 4x + x.
constexpr Big timesFive(const Big& x) {
    const Big quadruple = shiftedLeft(x, 2);
    Big result{};
    std::uint64_t carry = 0;
    for (std::size_t i = 0; i < kLimbs; ++i) {
        const std::uint64_t sum = quadruple[i] + x[i];
        const std::uint64_t total = sum + carry;
        carry = static_cast<std::uint64_t>(sum < x[i]) + static_cast<std::uint64_t>(total < sum);
        result[i] = total;
    }
    return result;
}

// floor(x / 5), 32 bits at a time from the top.
constexpr Big dividedByFive(const Big& x) {
    Big result{};
    std::uint64_t remainder = 0;
    for (int i = kLimbs - 1; i >= 0; --i) {
        const std::uint64_t limb = x[static_cast<std::size_t>(i)];
        const std::uint64_t high = (remainder << 32) | (limb >> 32);
        remainder = high % 5;
        const std::uint64_t low = (remainder << 32) | (limb & 0xFFFFFFFF);
        remainder = low % 5;
        result[static_cast<std::size_t>(i)] = (high / 5) << 32 | (low / 5);
    }
    return result;
}

// The 128 bits of x once shifted so that its leading bit is bit 127
// (bits shifted out on the right are dropped).
constexpr std::array<std::uint64_t, 2> leading128(const Big& x) {
    const int length = bitLength(x);
    const Big top = length <= 128 ? shiftedLeft(x, 128 - length) : shiftedRight(x, length - 128);
    return {top[1], top[0]};
}

constexpr auto makePowersOfFive() {
    std::array<std::array<std::uint64_t, 2>, kLargestPowerOfFive - kSmallestPowerOfFive + 1> table{};
    Big power{};  // 5^k
    power[0] = 1;
    Big reciprocal{};  // floor(2^kNumeratorBits / 5^k)
    reciprocal[kLimbs - 1] = std::uint64_t{1} << 63;
    for (int k = 0; k <= -kSmallestPowerOfFive; ++k) {
        if (k <= kLargestPowerOfFive) table[static_cast<std::size_t>(k - kSmallestPowerOfFive)] = leading128(power);
        if (k > 0) {
            // 5^-k as floor(2^b / 5^k) + 1 for a b that leaves at least 128
            // significant bits, then its leading 128 bits.
            const int length = bitLength(power);
            const int b = k <= 27 ? length + 127 : 2 * length + 128;
            const Big scaled = plusOne(shiftedRight(reciprocal, kNumeratorBits - b));
            table[static_cast<std::size_t>(-k - kSmallestPowerOfFive)] = leading128(scaled);
        }
        power = timesFive(power);
        reciprocal = dividedByFive(reciprocal);
    }
    return table;
}

}  // namespace

constinit const std::array<std::array<std::uint64_t, 2>, kLargestPowerOfFive - kSmallestPowerOfFive + 1>
    kPowersOfFive = makePowersOfFive();

}  // namespace datmos
