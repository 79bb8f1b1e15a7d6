// The bytes the relation reader scans: buffered input over a file
// descriptor (large read(2) blocks, a window scanned in place, line numbers
// worked out only when asked for), or a view of one chunk of a list held
// elsewhere, which the same reader reads as a short input.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string_view>

#include "padded_bytes.h"

namespace datmos {

class ByteInput {
public:
    // The window the converter reads through.
    static constexpr std::size_t kDefaultCapacity = std::size_t{64} << 10;
    // The window holds at least this many bytes, however small the reads:
    // room for the start of a field that an error message shows and for
    // the few bytes that a number scan looks ahead.
    static constexpr std::size_t kLeastWindow = 64;

    // Reads from fd, which stays owned by the caller, at most `capacity`
    // bytes at a time into a window of as many bytes (kLeastWindow at least).
    explicit ByteInput(int fd, std::size_t capacity = kDefaultCapacity);
    // Reads the bytes `first` and then from fd, where `first` stands at
    // `offset` in the input, after `lineEnds` line ends.
    ByteInput(int fd, std::span<const char> first, std::uint64_t offset, std::uint64_t lineEnds,
              std::size_t capacity = kDefaultCapacity);
    // A view of `bytes`, held by the caller, that stand at `offset` in the
    // list: it reads nothing more. Where `goesOn`, the list goes on after
    // them (in the next chunk); else they end it, after a failed read where
    // readError is not 0. Lines are not counted: lineAt() gives none.
    ByteInput(const PaddedBytes& bytes, std::uint64_t offset, bool goesOn, int readError);

    // The unread bytes are [cursor(), end()), held in PaddedBytes: a zero
    // byte and padding follow them.
    // Up to this many bytes before the cursor stay readable, from start()
    // on, however the window moves: what a message shows of the number
    // before a refused field.
    static constexpr std::size_t kKeptBehind = 64;
    const char* start() const { return bytes_->begin(); }
    const char* cursor() const { return cursor_; }
    const char* end() const { return bytes_->end(); }
    void advanceTo(const char* position) { cursor_ = position; }

    // Reads more bytes, keeping every byte from the cursor on (moved to the
    // front of the buffer, after the kept bytes before it). Returns false when nothing more came: at the
    // end of the input, after a read error, or when the window is full.
    bool fill();
    // Whether the unread bytes fill the whole window, so that fill() can
    // add none before the cursor moves on. The memory stays bounded: a
    // number longer than the window is read as it streams by.
    bool full() const { return static_cast<std::size_t>(end() - cursor_) == capacity_; }

    bool atEndOfInput() const { return endOfInput_; }
    // Whether the bytes of a view end before the list does: a relation
    // that they end inside of is finished elsewhere.
    bool goesOn() const { return goesOn_; }
    int fd() const { return fd_; }
    // Whether the input is a regular file, which can be read again.
    bool rereadable() const { return fileSize_.has_value(); }
    // For a regular file, how many of its bytes follow `position`, by its
    // size when the input was made; nothing for other input.
    std::optional<std::uint64_t> bytesAfter(const char* position) const;
    // The offset in the input of a position in the window.
    std::uint64_t offsetOf(const char* position) const {
        return bytesBeforeBuffer_ + static_cast<std::uint64_t>(position - bytes_->begin());
    }
    // Where the last weight read began and ended, for a message about a
    // field glued to it: the text of that weight before `at` when `at` is
    // its end, at most kKeptBehind bytes of it; else empty.
    void noteWeight(std::uint64_t startOffset, std::uint64_t endOffset) {
        weightStart_ = startOffset;
        weightEnd_ = endOffset;
    }
    std::string_view weightEndingAt(const char* at) const;

    // The errno of a failed read(2), or 0.
    int readError() const { return readError_; }

    // The 1-based line on which the byte at position (in the window)
    // stands. Lines are counted only here, for an error message: in a
    // regular file by reading it again up to the window, elsewhere (a pipe)
    // from the line feeds that fill() counts in the bytes it drops. None
    // where the file can't be read again that far.
    std::optional<std::uint64_t> lineAt(const char* position) const;

private:
    int fd_;
    std::size_t capacity_;   // of the window
    std::size_t blockSize_;  // the most one read(2) asks for
    std::unique_ptr<PaddedBytes> buffer_;  // the bytes kept before the cursor, then the window; none in a view
    const PaddedBytes* bytes_;             // the buffer, or the bytes viewed
    const char* cursor_;
    bool endOfInput_ = false;
    bool goesOn_ = false;
    bool countsLines_ = true;
    int readError_ = 0;
    std::optional<std::uint64_t> fileSize_;  // of a regular file, read again by lineAt()
    std::uint64_t bytesBeforeBuffer_ = 0;  // bytes already dropped
    std::uint64_t linesBeforeBuffer_ = 0;  // line ends in them, unless rereadable()
    bool afterCarriageReturn_ = false;     // the last of them is a carriage return
    std::uint64_t weightStart_ = 0;        // offsets of the last weight noted
    std::uint64_t weightEnd_ = 0;
};

}  // namespace datmos
