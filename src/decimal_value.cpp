#include "decimal_value.h"

#include <cstddef>

namespace datmos {
namespace {

// The table is worked out by the compiler from exact integers of up to
// 1792 bits: 5^342 has 795 bits, and the largest numerator used, 2^1718,
// stays below 2^1791. Each holds its limbs, least significant first, and
// how many of them are in use.
constexpr int kLimbs = 28;
constexpr int kNumeratorBits = 64 * kLimbs - 1;
struct Big {
    std::uint64_t limbs[kLimbs] = {};
    int used = 0;
};

constexpr int bitLength(const Big& x) {
    return x.used == 0 ? 0 : 64 * x.used - std::countl_zero(x.limbs[x.used - 1]);
}

// Bits [from, from + 64) of x, where from may be negative (zeros below).
constexpr std::uint64_t bitsAt(const Big& x, int from) {
    const auto limb = [&x](int i) { return i >= 0 && i < x.used ? x.limbs[i] : std::uint64_t{0}; };
    const int index = from >= 0 ? from / 64 : -((-from + 63) / 64);
    const int rest = from - 64 * index;
    return rest == 0 ? limb(index) : limb(index) >> rest | limb(index + 1) << (64 - rest);
}

// The 128 bits of x from its leading bit down (zeros below its last).
constexpr std::array<std::uint64_t, 2> leading128(const Big& x) {
    const int from = bitLength(x) - 128;
    return {bitsAt(x, from + 64), bitsAt(x, from)};
}

// floor(x / 2^bits) + 1.
constexpr Big shiftedRightPlusOne(const Big& x, int bits) {
    Big result;
    for (int i = 0; 64 * i < bitLength(x) - bits; ++i) {
        result.limbs[i] = bitsAt(x, bits + 64 * i);
        result.used = i + 1;
    }
    for (int i = 0;; ++i) {
        if (++result.limbs[i] != 0) {
            result.used = i + 1 > result.used ? i + 1 : result.used;
            break;
        }
    }
    return result;
}

constexpr void multiplyByFive(Big& x) {
    std::uint64_t carry = 0;  // below 5
    for (int i = 0; i < x.used; ++i) {
        const std::uint64_t limb = x.limbs[i];
        // limb * 5 + carry as 4 * limb + limb + carry, with the bits that
        // overflow 64 going into the next carry.
        const std::uint64_t quadruple = limb << 2;
        const std::uint64_t sum = quadruple + limb;
        const std::uint64_t total = sum + carry;
        carry = (limb >> 62) + static_cast<std::uint64_t>(sum < limb) + static_cast<std::uint64_t>(total < sum);
        x.limbs[i] = total;
    }
    if (carry != 0) x.limbs[x.used++] = carry;
}

// x = floor(x / 5), 32 bits at a time from the top.
constexpr void divideByFive(Big& x) {
    std::uint64_t remainder = 0;
    for (int i = x.used - 1; i >= 0; --i) {
        const std::uint64_t limb = x.limbs[i];
        const std::uint64_t high = (remainder << 32) | (limb >> 32);
        remainder = high % 5;
        const std::uint64_t low = (remainder << 32) | (limb & 0xFFFFFFFF);
        remainder = low % 5;
        x.limbs[i] = (high / 5) << 32 | (low / 5);
    }
    while (x.used > 0 && x.limbs[x.used - 1] == 0) --x.used;
}

constexpr auto makePowersOfFive() {
    std::array<std::array<std::uint64_t, 2>, kLargestPowerOfFive - kSmallestPowerOfFive + 1> table{};
    Big power;  // 5^k
    power.limbs[0] = 1;
    power.used = 1;
    Big reciprocal;  // floor(2^kNumeratorBits / 5^k)
    reciprocal.limbs[kLimbs - 1] = std::uint64_t{1} << 63;
    reciprocal.used = kLimbs;
    for (int k = 0; k <= -kSmallestPowerOfFive; ++k) {
        if (k <= kLargestPowerOfFive) table[static_cast<std::size_t>(k - kSmallestPowerOfFive)] = leading128(power);
        if (k > 0) {
            // 5^-k as floor(2^b / 5^k) + 1 for a b that leaves at least 128
            // significant bits, then its leading 128 bits.
            const int length = bitLength(power);
            const int b = k <= 27 ? length + 127 : 2 * length + 128;
            table[static_cast<std::size_t>(-k - kSmallestPowerOfFive)] =
                leading128(shiftedRightPlusOne(reciprocal, kNumeratorBits - b));
        }
        multiplyByFive(power);
        divideByFive(reciprocal);
    }
    return table;
}

}  // namespace

constinit const std::array<std::array<std::uint64_t, 2>, kLargestPowerOfFive - kSmallestPowerOfFive + 1>
    kPowersOfFive = makePowersOfFive();

}  // namespace datmos
