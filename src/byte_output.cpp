#include "byte_output.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <new>
#include <unistd.h>

// The file offsets reserved and truncated to go past 2 GiB.
static_assert(sizeof(off_t) == 8, "off_t must be 64 bits: build with _FILE_OFFSET_BITS=64");

namespace datmos {

ByteOutput::ByteOutput(int fd, std::size_t capacity, Reserve reserve)
    : fd_(fd),
      buffer_(new char[std::max(capacity, kMinimumCapacity)]),
      grows_(capacity == kDefaultCapacity),
      end_(buffer_.get()),
      limit_(buffer_.get() + std::max(capacity, kMinimumCapacity)),
      reserving_(reserve == Reserve::Ahead) {}

ByteOutput::~ByteOutput() { giveBackReserve(); }

void ByteOutput::holdUpTo(std::size_t most, std::function<int()> beforeWriting) {
    holding_ = true;
    mostHeld_ = most;
    beforeWriting_ = std::move(beforeWriting);
}

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

void ByteOutput::write(std::string_view bytes) {
    if (bytes.size() < kMinimumCapacity) {
        append(bytes);
        return;
    }
    flush();
    writeOut(bytes.data(), bytes.data() + bytes.size());
}

void ByteOutput::flush() {
    writeOut(buffer_.get(), end_);
    flushed_ += static_cast<std::uint64_t>(end_ - buffer_.get());
    end_ = buffer_.get();
    if (grows_ && flushed_ >= kGrowAfter) grow();
}

// Where memory for the larger buffer can't be had, the small one serves.
void ByteOutput::grow() {
    grows_ = false;
    try {
        buffer_.reset(new char[kLargeCapacity]);
    } catch (const std::bad_alloc&) {
        return;
    }
    end_ = buffer_.get();
    limit_ = buffer_.get() + kLargeCapacity;
}

void ByteOutput::writeOut(const char* next, const char* end) {
    if (fd_ == kNowhere || next == end) return;
    if (holding_ && hold(next, end)) return;
    if (error_ == 0) reserveFor(static_cast<std::size_t>(end - next));
    while (error_ == 0 && next < end) {
        const ssize_t done = ::write(fd_, next, static_cast<std::size_t>(end - next));
        if (done > 0) {
            next += done;
            written_ += static_cast<std::uint64_t>(done);
        } else if (done < 0 && errno != EINTR) {
            error_ = errno;
        } else if (done == 0) {
            error_ = EIO;
        }
    }
}

// Keeps the bytes in memory while they fit under the bound, each flush a
// block of its own (no block is copied as more come); else writes out what
// was held, and then they follow. True where the bytes need no writing.
bool ByteOutput::hold(const char* next, const char* end) {
    const auto size = static_cast<std::size_t>(end - next);
    if (size > mostHeld_ - heldBytes_) {
        release();
        return false;
    }
    if (error_ != 0) return true;
    try {
        held_.emplace_back(next, end);
        heldBytes_ += size;
    } catch (const std::bad_alloc&) {
        // Nothing is written then: the earlier file is what the hold protects.
        error_ = ENOMEM;
        held_.clear();
        heldBytes_ = 0;
    }
    return true;
}

void ByteOutput::release() {
    holding_ = false;
    std::vector<std::vector<char>> held;
    held.swap(held_);
    heldBytes_ = 0;
    if (error_ != 0) return;
    if (const int error = beforeWriting_ ? beforeWriting_() : 0; error != 0) {
        error_ = error;
        return;
    }
    for (std::vector<char>& block : held) {
        writeOut(block.data(), block.data() + block.size());
        std::vector<char>().swap(block);  // its memory given back as soon as written
    }
}

// Keeps the file size as it is (FALLOC_FL_KEEP_SIZE): the reserve is not
// part of the file, and a file-size limit applies to the writes alone.
void ByteOutput::reserveFor(std::size_t size) {
    if (!reserving_ || written_ + size <= reserved_ || written_ < kReserveFrom) return;
    reserved_ = std::max(reserved_, written_);
    const std::uint64_t step = std::min<std::uint64_t>(kReserveStep, written_);
    const std::uint64_t length = std::max<std::uint64_t>(step, written_ + size - reserved_);
    if (::fallocate(fd_, FALLOC_FL_KEEP_SIZE, static_cast<off_t>(reserved_), static_cast<off_t>(length)) != 0) {
        reserving_ = false;  // not supported here, or no room: write without
        return;
    }
    reserved_ += length;
}

void ByteOutput::finish() {
    // The last bytes need no reserve: a small file then never gets one.
    reserving_ = false;
    flush();
    if (holding_) release();
    giveBackReserve();
}

void ByteOutput::giveBackReserve() {
    if (reserved_ <= written_) return;
    // Truncating to the size the file already has frees the blocks past its
    // end on most file systems; punching them out covers the others. The
    // bytes written are complete either way, so failures are of no matter.
    const auto end = static_cast<off_t>(written_);
    const int truncated = ::ftruncate(fd_, end);
    const int punched =
        ::fallocate(fd_, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, end, static_cast<off_t>(reserved_ - written_));
    static_cast<void>(truncated + punched);
    reserved_ = written_;
}

}  // namespace datmos
