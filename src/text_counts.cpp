#include "text_counts.h"

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstring>
#include <memory>
#include <unistd.h>

#include "number_scan.h"

#if defined(__SSE2__) && defined(__x86_64__)
#include <emmintrin.h>
#endif

// The vector helpers below are internal to this file and inlined, so the
// note that passing vectors by value changes the calling convention where
// the target lacks a vector unit (32-bit x86 without SSE) concerns nothing.
#pragma GCC diagnostic ignored "-Wpsabi"

namespace datmos {
namespace {

// Sixteen bytes handled at once with the compilers' portable vector types,
// which every target supports (where it has no vector unit, as plain
// operations). Comparisons give 0 or -1 in each lane.
constexpr std::size_t kLanes = 16;
using Bytes = unsigned char __attribute__((vector_size(kLanes)));
using Lanes = signed char __attribute__((vector_size(kLanes)));

Bytes load(const char* p) {
    Bytes bytes;
    std::memcpy(&bytes, p, kLanes);
    return bytes;
}

Bytes splat(unsigned char c) {
    Bytes bytes;
    std::memset(&bytes, c, kLanes);
    return bytes;
}

// Space, or tab to carriage return (9 to 13), as isSpace.
Lanes spaceLanes(Bytes bytes) { return (bytes == splat(' ')) | ((bytes - splat('\t')) < splat(5)); }

// Counts the positions p in [first, last) where marks(byte at p, byte
// before p) holds, the byte before first being `before`. The vector form
// of marks gives -1 in the lanes that hold.
template <typename Marks, typename Mark>
std::uint64_t countMarks(const char* first, const char* last, char before, Marks marks, Mark mark) {
    if (first >= last) return 0;
    std::uint64_t total = mark(first[0], before) ? 1 : 0;
    const char* p = first + 1;
    while (last - p >= static_cast<std::ptrdiff_t>(kLanes)) {
        // Each lane counts up to 255 before the lanes are added up.
        Bytes counts{};
        for (int round = 0; round < 255 && last - p >= static_cast<std::ptrdiff_t>(kLanes); ++round, p += kLanes) {
            counts -= reinterpret_cast<Bytes>(marks(load(p), load(p - 1)));
        }
        for (std::size_t lane = 0; lane < kLanes; ++lane) total += counts[lane];
    }
    for (; p < last; ++p) total += mark(p[0], p[-1]) ? 1 : 0;
    return total;
}

#if defined(__SSE2__) && defined(__x86_64__)
// countWords with SSE2, part of every x86-64: the whitespace lanes of each
// block are worked out once, and those of the bytes before its lanes
// shifted in from the block before, rather than loaded and worked out again.
std::uint64_t countWordsWide(const char* first, const char* last) {
    const __m128i blank = _mm_set1_epi8(' ');
    const __m128i tab = _mm_set1_epi8('\t');
    const __m128i four = _mm_set1_epi8(4);
    __m128i before = _mm_set1_epi8(-1);  // the byte before first counts as whitespace
    std::uint64_t total = 0;
    const char* p = first;
    for (auto blocks = static_cast<std::size_t>(last - first) / kLanes; blocks > 0;) {
        // Each lane counts up to 255 before the lanes are added up.
        const std::size_t rounds = std::min<std::size_t>(blocks, 255);
        blocks -= rounds;
        __m128i counts = _mm_setzero_si128();
        for (const char* const end = p + rounds * kLanes; p != end; p += kLanes) {
            const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
            const __m128i fromTab = _mm_sub_epi8(bytes, tab);  // tab to carriage return: 0 to 4
            const __m128i space =
                _mm_or_si128(_mm_cmpeq_epi8(bytes, blank), _mm_cmpeq_epi8(_mm_min_epu8(fromTab, four), fromTab));
            const __m128i spaceBefore = _mm_or_si128(_mm_slli_si128(space, 1), _mm_srli_si128(before, 15));
            counts = _mm_sub_epi8(counts, _mm_andnot_si128(space, spaceBefore));
            before = space;
        }
        const __m128i sums = _mm_sad_epu8(counts, _mm_setzero_si128());
        total += static_cast<std::uint64_t>(_mm_cvtsi128_si64(sums)) +
                 static_cast<std::uint64_t>(_mm_cvtsi128_si64(_mm_unpackhi_epi64(sums, sums)));
    }
    for (char previous = p == first ? ' ' : p[-1]; p < last; previous = *p++) {
        total += !isSpace(*p) && isSpace(previous) ? 1 : 0;
    }
    return total;
}
#endif

}  // namespace

std::uint64_t countWords(const char* first, const char* last) {
#if defined(__SSE2__) && defined(__x86_64__)
    return countWordsWide(first, last);
#endif
    return countMarks(
        first, last, ' ', [](Bytes bytes, Bytes before) { return ~spaceLanes(bytes) & spaceLanes(before); },
        [](char byte, char before) { return !isSpace(byte) && isSpace(before); });
}

std::uint64_t countLineEnds(const char* first, const char* last, bool afterCarriageReturn) {
    return countMarks(
        first, last, afterCarriageReturn ? '\r' : ' ',
        [](Bytes bytes, Bytes before) {
            return (bytes == splat('\r')) | ((bytes == splat('\n')) & ~(before == splat('\r')));
        },
        [](char byte, char before) { return byte == '\r' || (byte == '\n' && before != '\r'); });
}

std::optional<std::uint64_t> countLineEndsInFile(int fd, std::uint64_t offset) {
    constexpr std::size_t kBlock = std::size_t{64} << 10;
    const std::unique_ptr<char[]> block(new char[kBlock]);
    std::uint64_t total = 0;
    bool afterCarriageReturn = false;
    for (std::uint64_t done = 0; done < offset;) {
        const auto wanted = static_cast<std::size_t>(std::min<std::uint64_t>(kBlock, offset - done));
        const ssize_t got = ::pread(fd, block.get(), wanted, static_cast<off_t>(done));
        if (got < 0 && errno == EINTR) continue;
        // A count of part of the bytes would give a wrong line.
        if (got <= 0) return std::nullopt;  // a read error, or the file shrank
        total += countLineEnds(block.get(), block.get() + got, afterCarriageReturn);
        afterCarriageReturn = block[static_cast<std::size_t>(got) - 1] == '\r';
        done += static_cast<std::uint64_t>(got);
    }
    return total;
}

}  // namespace datmos
