#include "byte_output.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <unistd.h>

namespace datmos {

ByteOutput::ByteOutput(int fd, std::size_t capacity)
    : fd_(fd),
      buffer_(new char[std::max(capacity, kMinimumCapacity)]),
      end_(buffer_.get()),
      limit_(buffer_.get() + std::max(capacity, kMinimumCapacity)) {}

void ByteOutput::append(std::string_view text) {
    while (!text.empty()) {
        const std::size_t room = static_cast<std::size_t>(limit_ - end_);
        if (room == 0) {
            flush();
            continue;
        }
        const std::size_t part = std::min(room, text.size());
        std::memcpy(end_, text.data(), part);
        end_ += part;
        text.remove_prefix(part);
    }
}

void ByteOutput::flush() {
    const char* next = buffer_.get();
    while (error_ == 0 && next < end_) {
        const ssize_t done = ::write(fd_, next, static_cast<std::size_t>(end_ - next));
        if (done > 0) {
            next += done;
        } else if (done < 0 && errno != EINTR) {
            error_ = errno;
        } else if (done == 0) {
            error_ = EIO;
        }
    }
    end_ = buffer_.get();
}

}  // namespace datmos
