#include "byte_input.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

#include "text_counts.h"

namespace datmos {
namespace {

bool isRegularFile(int fd) {
    struct stat status{};
    return ::fstat(fd, &status) == 0 && S_ISREG(status.st_mode);
}

}  // namespace

ByteInput::ByteInput(int fd, std::size_t capacity)
    : fd_(fd),
      capacity_(std::max<std::size_t>(capacity, 1)),
      buffer_(new char[capacity_ + kPadding]()),
      cursor_(buffer_.get()),
      end_(buffer_.get()),
      rereadable_(isRegularFile(fd)) {
    buffer_[0] = '\0';
}

ByteInput::ByteInput(int fd, std::span<const char> first, std::uint64_t offset, std::uint64_t lineEnds,
                     std::size_t capacity)
    : ByteInput(fd, std::max(capacity, first.size())) {
    std::memcpy(buffer_.get(), first.data(), first.size());
    end_ = buffer_.get() + first.size();
    buffer_[first.size()] = '\0';
    bytesBeforeBuffer_ = offset;
    linesBeforeBuffer_ = lineEnds;
}

bool ByteInput::fill() {
    if (endOfInput_) return false;
    char* const start = buffer_.get();
    const std::size_t kept = static_cast<std::size_t>(end_ - cursor_);
    bytesBeforeBuffer_ += static_cast<std::uint64_t>(cursor_ - start);
    if (!rereadable_) linesBeforeBuffer_ += countLineEnds(start, cursor_, afterCarriageReturn_);
    if (cursor_ != start) afterCarriageReturn_ = cursor_[-1] == '\r';
    if (kept == capacity_) {
        std::size_t grown = capacity_ * 2;
        std::unique_ptr<char[]> bigger(new char[grown + kPadding]());
        std::memcpy(bigger.get(), cursor_, kept);
        buffer_ = std::move(bigger);
        capacity_ = grown;
    } else if (kept != 0 && cursor_ != start) {
        std::memmove(start, cursor_, kept);
    }
    char* const data = buffer_.get();
    cursor_ = data;
    end_ = data + kept;
    data[kept] = '\0';
    for (;;) {
        const ssize_t got = ::read(fd_, data + kept, capacity_ - kept);
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
    const std::uint64_t before = rereadable_ ? countLineEndsInFile(fd_, bytesBeforeBuffer_) : linesBeforeBuffer_;
    return 1 + before + countLineEnds(buffer_.get(), position, afterCarriageReturn_);
}

}  // namespace datmos
