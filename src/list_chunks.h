// The relation list cut into chunks that can be read independently: each
// chunk is a block of the list that ends just after a whitespace byte, so
// that no number is split between two chunks. What a chunk's numbers mean
// (which field of which relation) depends on how many numbers came before
// it, which the words of the earlier chunks tell (see countWords).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "padded_bytes.h"

namespace datmos {

struct ListChunk {
    explicit ListChunk(std::size_t capacity) : bytes(capacity) {}

    PaddedBytes bytes;
    std::uint64_t offset = 0;         // of its first byte in the list
    bool afterCarriageReturn = false;  // the byte before it is a carriage return
    bool endOfInput = false;           // nothing follows it
    int readError = 0;                 // errno of a failed read that ended the input
    // It is one number (or a run of other bytes) that fills the chunk and
    // goes on: such a number can't be cut out, so the rest of the list must
    // be read in order, as a stream.
    bool overlong = false;
};

// Cuts the list read from a file descriptor into chunks.
class ChunkCutter {
public:
    // Reads from fd, which stays owned by the caller, after the bytes
    // `alreadyRead` that stand at `offset` in the list. Where fd is not a
    // regular file, every read may wait for the writer at the other end;
    // cancelFd becoming readable ends such a wait (next() gives false).
    ChunkCutter(int fd, std::span<const char> alreadyRead, std::uint64_t offset, bool afterCarriageReturn,
                int cancelFd);

    // Fills the chunk with the next part of the list. False once the list
    // has been handed out whole (the chunk that ends it came last), after
    // an overlong chunk, or on cancellation.
    bool next(ListChunk& chunk);

    // Where a list goes on after an overlong chunk: the bytes read past
    // that chunk, then what fd still holds.
    std::span<const char> carry() const { return carry_; }
    int fd() const { return fd_; }

private:
    bool waitForInput();
    // Reads into the chunk until it is full, the input ends, or (from a
    // pipe) some bytes came; false on cancellation.
    bool readInto(ListChunk& chunk);

    int fd_;
    int cancelFd_;
    bool regularFile_;
    bool finished_ = false;
    std::vector<char> carry_;  // bytes after the last cut, for the next chunk
    std::uint64_t offset_;     // of the carry
    bool afterCarriageReturn_;
};

}  // namespace datmos
