#include "byte_input.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

#include "text_counts.h"

namespace datmos {
namespace {

std::optional<std::uint64_t> regularFileSize(int fd) {
    struct stat status{};
    if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) return std::nullopt;
    return static_cast<std::uint64_t>(status.st_size);
}

}  // namespace

ByteInput::ByteInput(int fd, std::size_t capacity)
    : fd_(fd),
      capacity_(std::max(capacity, kLeastWindow)),
      blockSize_(std::max<std::size_t>(capacity, 1)),
      buffer_(std::make_unique<PaddedBytes>(kKeptBehind + capacity_)),
      bytes_(buffer_.get()),
      cursor_(bytes_->begin()),
      fileSize_(regularFileSize(fd)) {}

ByteInput::ByteInput(int fd, std::span<const char> first, std::uint64_t offset, std::uint64_t lineEnds,
                     std::size_t capacity)
    : ByteInput(fd, std::max(capacity, first.size())) {
    std::memcpy(buffer_->data(), first.data(), first.size());
    buffer_->resize(first.size());
    bytesBeforeBuffer_ = offset;
    linesBeforeBuffer_ = lineEnds;
}

ByteInput::ByteInput(const PaddedBytes& bytes, std::uint64_t offset, bool goesOn, int readError)
    : fd_(-1),
      capacity_(bytes.size()),
      blockSize_(0),
      bytes_(&bytes),
      cursor_(bytes.begin()),
      endOfInput_(true),
      goesOn_(goesOn),
      countsLines_(false),
      readError_(readError),
      bytesBeforeBuffer_(offset) {}

bool ByteInput::fill() {
    if (endOfInput_ || full()) return false;
    char* const data = buffer_->data();
    const auto behind = static_cast<std::size_t>(std::min<std::ptrdiff_t>(cursor_ - data, kKeptBehind));
    const char* const dropEnd = cursor_ - behind;
    bytesBeforeBuffer_ += static_cast<std::uint64_t>(dropEnd - data);
    if (!rereadable()) linesBeforeBuffer_ += countLineEnds(data, dropEnd, afterCarriageReturn_);
    if (dropEnd != data) afterCarriageReturn_ = dropEnd[-1] == '\r';
    const std::size_t kept = behind + static_cast<std::size_t>(end() - cursor_);
    if (kept != 0 && dropEnd != data) std::memmove(data, dropEnd, kept);
    cursor_ = data + behind;
    buffer_->resize(kept);
    for (;;) {
        const std::size_t room = capacity_ - (kept - behind);
        const ssize_t got = ::read(fd_, data + kept, std::min(blockSize_, room));
        if (got > 0) {
            buffer_->resize(kept + static_cast<std::size_t>(got));
            return true;
        }
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) readError_ = errno;
        endOfInput_ = true;
        return false;
    }
}

std::optional<std::uint64_t> ByteInput::bytesAfter(const char* position) const {
    if (!fileSize_) return std::nullopt;
    const std::uint64_t offset = offsetOf(position);
    return *fileSize_ > offset ? *fileSize_ - offset : 0;
}

std::string_view ByteInput::weightEndingAt(const char* at) const {
    const std::uint64_t end = offsetOf(at);
    if (end != weightEnd_ || end == weightStart_) return {};
    const std::uint64_t kept = offsetOf(bytes_->begin());
    const std::uint64_t first = std::max({weightStart_, kept, end - std::min<std::uint64_t>(end, kKeptBehind)});
    return {at - (end - first), static_cast<std::size_t>(end - first)};
}

std::optional<std::uint64_t> ByteInput::lineAt(const char* position) const {
    if (!countsLines_) return std::nullopt;
    const std::optional<std::uint64_t> before =
        rereadable() ? countLineEndsInFile(fd_, bytesBeforeBuffer_) : linesBeforeBuffer_;
    if (!before) return std::nullopt;
    return 1 + *before + countLineEnds(bytes_->begin(), position, afterCarriageReturn_);
}

}  // namespace datmos
