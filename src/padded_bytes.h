// Bytes with a zero byte and kPadding readable bytes after their end: the
// contract that the number scanners rely on. A scan stops at the zero byte
// by itself, since no number, whitespace or sign is 0, and may load several
// bytes at a time near the end without testing for it.
#pragma once

#include <cstddef>
#include <cstring>
#include <memory>

namespace datmos {

class PaddedBytes {
public:
    static constexpr std::size_t kPadding = 64;

    // Room for `capacity` bytes; none held yet.
    explicit PaddedBytes(std::size_t capacity) : capacity_(capacity), storage_(new char[capacity + kPadding]) {
        resize(0);
    }

    char* data() { return storage_.get(); }
    const char* begin() const { return storage_.get(); }
    const char* end() const { return storage_.get() + size_; }
    std::size_t size() const { return size_; }
    std::size_t capacity() const { return capacity_; }

    // Holds the first `size` bytes (at most the capacity), and zeros after.
    void resize(std::size_t size) {
        size_ = size;
        std::memset(storage_.get() + size, 0, kPadding);
    }

private:
    std::size_t capacity_;
    std::size_t size_ = 0;
    std::unique_ptr<char[]> storage_;
};

}  // namespace datmos
