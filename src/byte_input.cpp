#include "byte_input.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

namespace datmos {
namespace {

// Counts line feeds; the narrow per-block counter lets the compiler
// vectorise the comparison, several times faster than std::count.
std::uint64_t countLineFeeds(const char* first, const char* last) {
    constexpr std::ptrdiff_t kBlock = 4096;
    std::uint64_t total = 0;
    while (first < last) {
        const char* stop = first + std::min(last - first, kBlock);
        unsigned inBlock = 0;
        for (; first < stop; ++first) inBlock += *first == '\n' ? 1U : 0U;
        total += inBlock;
    }
    return total;
}

// Offsets beyond 2 GiB reach pread() whole only through a 64-bit off_t
// (_FILE_OFFSET_BITS=64 on 32-bit platforms).
static_assert(sizeof(off_t) >= sizeof(std::uint64_t), "off_t must hold 64-bit file offsets");

bool isRegularFile(int fd) {
    struct stat status{};
    return ::fstat(fd, &status) == 0 && S_ISREG(status.st_mode);
}

}  // namespace

ByteInput::ByteInput(int fd, std::size_t capacity)
    : fd_(fd),
      capacity_(std::max(capacity, kLeastWindow)),
      blockSize_(std::max<std::size_t>(capacity, 1)),
      buffer_(new char[capacity_ + kPadding]()),
      cursor_(buffer_.get()),
      end_(buffer_.get()),
      rereadable_(isRegularFile(fd)) {
    buffer_[0] = '\0';
}

bool ByteInput::fill() {
    if (endOfInput_ || full()) return false;
    char* const data = buffer_.get();
    const std::size_t kept = static_cast<std::size_t>(end_ - cursor_);
    bytesBeforeBuffer_ += static_cast<std::uint64_t>(cursor_ - data);
    if (!rereadable_) linesBeforeBuffer_ += countLineFeeds(data, cursor_);
    if (kept != 0 && cursor_ != data) std::memmove(data, cursor_, kept);
    cursor_ = data;
    end_ = data + kept;
    data[kept] = '\0';
    for (;;) {
        const ssize_t got = ::read(fd_, data + kept, std::min(blockSize_, capacity_ - kept));
        if (got > 0) {
            end_ += got;
            data[kept + static_cast<std::size_t>(got)] = '\0';
            return true;
        }
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) readError_ = errno;
        endOfInput_ = true;
        return false;
    }
}

std::uint64_t ByteInput::lineAt(const char* position) const {
    std::uint64_t lines = linesBeforeBuffer_;
    if (rereadable_ && bytesBeforeBuffer_ > 0) {
        const auto blockSize = static_cast<std::size_t>(std::min<std::uint64_t>(kDefaultCapacity, bytesBeforeBuffer_));
        std::unique_ptr<char[]> block(new char[blockSize]);
        for (std::uint64_t offset = 0; offset < bytesBeforeBuffer_;) {
            const auto wanted = static_cast<std::size_t>(std::min<std::uint64_t>(blockSize, bytesBeforeBuffer_ - offset));
            const ssize_t got = ::pread(fd_, block.get(), wanted, static_cast<off_t>(offset));
            if (got <= 0) break;  // the file shrank: count what is left
            lines += countLineFeeds(block.get(), block.get() + got);
            offset += static_cast<std::uint64_t>(got);
        }
    }
    return 1 + lines + countLineFeeds(buffer_.get(), position);
}

}  // namespace datmos
