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
    if (size != 0) std::memcpy(data, carry_.data(), size);
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
