#include "list_chunks.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include "number_scan.h"

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

bool isRegularFile(int fd) {
    struct stat status{};
    return ::fstat(fd, &status) == 0 && S_ISREG(status.st_mode);
}

// Where to cut [from, to): just after its last line feed when one stands
// near the end, so that chunks of a list laid out a relation per line
// begin with a relation; else just after its last whitespace byte; 0
// where it has none.
std::size_t lastCut(const char* data, std::size_t from, std::size_t to) {
    constexpr std::size_t kLongestLine = 4096;
    const std::size_t nearEnd = to - std::min(to - from, kLongestLine);
    for (std::size_t cut = to; cut > nearEnd; --cut) {
        if (data[cut - 1] == '\n') return cut;
    }
    for (std::size_t cut = to; cut > from; --cut) {
        if (isSpace(data[cut - 1])) return cut;
    }
    return 0;
}

}  // namespace

std::uint64_t countWords(const char* first, const char* last) {
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

std::uint64_t countLineEndsInFile(int fd, std::uint64_t offset) {
    constexpr std::size_t kBlock = std::size_t{1} << 20;
    const std::unique_ptr<char[]> block(new char[kBlock]);
    std::uint64_t total = 0;
    bool afterCarriageReturn = false;
    for (std::uint64_t done = 0; done < offset;) {
        const auto wanted = static_cast<std::size_t>(std::min<std::uint64_t>(kBlock, offset - done));
        const ssize_t got = ::pread(fd, block.get(), wanted, static_cast<off_t>(done));
        if (got <= 0) break;  // the file shrank: count what is left
        total += countLineEnds(block.get(), block.get() + got, afterCarriageReturn);
        afterCarriageReturn = block[static_cast<std::size_t>(got) - 1] == '\r';
        done += static_cast<std::uint64_t>(got);
    }
    return total;
}

PaddedBytes::PaddedBytes(std::size_t capacity)
    : capacity_(capacity), storage_(new char[capacity + kPadding]) {}

void PaddedBytes::resize(std::size_t size) {
    size_ = size;
    std::memset(storage_.get() + size, 0, kPadding);
}

ChunkCutter::ChunkCutter(int fd, std::span<const char> alreadyRead, std::uint64_t offset, bool afterCarriageReturn,
                         int cancelFd)
    : fd_(fd),
      cancelFd_(cancelFd),
      regularFile_(isRegularFile(fd)),
      carry_(alreadyRead.begin(), alreadyRead.end()),
      offset_(offset),
      afterCarriageReturn_(afterCarriageReturn) {}

bool ChunkCutter::waitForInput() {
    pollfd waits[2] = {{fd_, POLLIN, 0}, {cancelFd_, POLLIN, 0}};
    for (;;) {
        if (::poll(waits, 2, -1) >= 0) return waits[1].revents == 0;
        if (errno != EINTR) return true;  // let the read itself fail
    }
}

bool ChunkCutter::next(ListChunk& chunk) {
    if (finished_) return false;
    char* const data = chunk.bytes.data();
    const std::size_t capacity = chunk.bytes.capacity();
    std::size_t size = std::min(carry_.size(), capacity);
    std::memcpy(data, carry_.data(), size);
    carry_.erase(carry_.begin(), carry_.begin() + static_cast<std::ptrdiff_t>(size));
    chunk.offset = offset_;
    chunk.afterCarriageReturn = afterCarriageReturn_;
    chunk.endOfInput = false;
    chunk.readError = 0;
    chunk.overlong = false;

    // A regular file fills the chunk; from a pipe, a chunk takes what has
    // come as soon as it can be cut, so that the list streams.
    std::size_t cut = lastCut(data, 0, size);
    while (carry_.empty() && size < capacity && (regularFile_ || cut == 0)) {
        if (!regularFile_ && !waitForInput()) return false;
        const ssize_t got = ::read(fd_, data + size, capacity - size);
        if (got > 0) {
            cut = std::max(cut, lastCut(data, size, size + static_cast<std::size_t>(got)));
            size += static_cast<std::size_t>(got);
            continue;
        }
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) chunk.readError = errno;
        chunk.endOfInput = true;
        break;
    }

    if (chunk.endOfInput || cut == 0) {
        // The rest of the list, or one word that fills the chunk and goes on.
        chunk.overlong = !chunk.endOfInput;
        chunk.bytes.resize(size);
        finished_ = true;
        return true;
    }
    carry_.insert(carry_.begin(), data + cut, data + size);
    chunk.bytes.resize(cut);
    offset_ += cut;
    afterCarriageReturn_ = data[cut - 1] == '\r';
    return true;
}

}  // namespace datmos
