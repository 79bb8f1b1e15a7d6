// Buffered output over a file descriptor: large write(2) blocks, and the
// first write error kept for the caller to report.
#pragma once

#include <cstddef>
#include <memory>
#include <string_view>

namespace datmos {

class ByteOutput {
public:
    static constexpr std::size_t kDefaultCapacity = std::size_t{1} << 20;
    static constexpr std::size_t kMinimumCapacity = 4096;

    // Writes to fd, which stays owned by the caller; a capacity below the
    // minimum is raised to it.
    explicit ByteOutput(int fd, std::size_t capacity = kDefaultCapacity);

    // Room for at least `size` bytes (at most kMinimumCapacity): write them from the
    // returned pointer, then hand the end of what was written to commit().
    char* reserve(std::size_t size) {
        if (static_cast<std::size_t>(limit_ - end_) < size) flush();
        return end_;
    }
    void commit(char* newEnd) { end_ = newEnd; }

    void append(std::string_view text);

    // Writes out everything buffered. After a failed write nothing more is
    // written and error() gives its errno.
    void flush();
    int error() const { return error_; }

private:
    int fd_;
    std::unique_ptr<char[]> buffer_;
    char* end_;
    char* limit_;
    int error_ = 0;
};

}  // namespace datmos
