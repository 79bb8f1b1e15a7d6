#include "byte_input.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <unistd.h>

namespace datmos {

ByteInput::ByteInput(int fd, std::size_t capacity)
    : fd_(fd),
      capacity_(std::max<std::size_t>(capacity, 1)),
      buffer_(new char[capacity_]),
      cursor_(buffer_.get()),
      end_(buffer_.get()) {}

bool ByteInput::fill() {
    if (endOfInput_) return false;
    char* const start = buffer_.get();
    const std::size_t kept = static_cast<std::size_t>(end_ - cursor_);
    linesBeforeBuffer_ += static_cast<std::uint64_t>(std::count(static_cast<const char*>(start), cursor_, '\n'));
    if (kept == capacity_) {
        std::size_t grown = capacity_ * 2;
        std::unique_ptr<char[]> bigger(new char[grown]);
        std::memcpy(bigger.get(), cursor_, kept);
        buffer_ = std::move(bigger);
        capacity_ = grown;
    } else if (kept != 0 && cursor_ != start) {
        std::memmove(start, cursor_, kept);
    }
    char* const data = buffer_.get();
    cursor_ = data;
    end_ = data + kept;
    for (;;) {
        const ssize_t got = ::read(fd_, data + kept, capacity_ - kept);
        if (got > 0) {
            end_ += got;
            return true;
        }
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) readError_ = errno;
        endOfInput_ = true;
        return false;
    }
}

std::uint64_t ByteInput::lineAt(const char* position) const {
    const char* start = buffer_.get();
    return 1 + linesBeforeBuffer_ + static_cast<std::uint64_t>(std::count(start, position, '\n'));
}

}  // namespace datmos
