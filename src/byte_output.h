// Buffered output over a file descriptor: large write(2) blocks, and the
// first write error kept for the caller to report.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string_view>
#include <vector>

namespace datmos {

class ByteOutput {
public:
    // The buffer starts small, as new memory costs more than the writes it
    // saves for a small data file (one of 670 KB was written in 0.81 of the
    // time a buffer of kLargeCapacity took), and grows to kLargeCapacity
    // once kGrowAfter bytes are flushed: fewer writes for a large file (the
    // names line of 20 million people in 0.81 of the time), while still
    // small enough to stay in a core's second-level cache as write(2)
    // copies it out (a names line of a million people in 0.7 of the time
    // a 1 MiB buffer took).
    static constexpr std::size_t kDefaultCapacity = std::size_t{64} << 10;
    static constexpr std::size_t kLargeCapacity = std::size_t{256} << 10;
    static constexpr std::uint64_t kGrowAfter = std::uint64_t{1} << 20;
    static constexpr std::size_t kMinimumCapacity = 4096;

    // With Reserve::Ahead the file's disk space is reserved ahead of the
    // writes once kReserveFrom bytes are written, as much again as is
    // written so far and at most kReserveStep at a time, and finish() gives
    // back what was not used: on file systems that allocate blocks lazily,
    // writing into reserved space costs markedly less. A smaller file is
    // written without, as reserving and giving back would cost it more than
    // they save. For a regular file written from its start; where
    // reserving fails (no support, a full disk) the output simply writes
    // without it.
    enum class Reserve { No, Ahead };
    static constexpr std::size_t kReserveFrom = std::size_t{1} << 20;
    static constexpr std::size_t kReserveStep = std::size_t{8} << 20;

    // The fd of an output that writes nothing: a pass that only checks a list.
    static constexpr int kNowhere = -1;

    // Writes to fd, which stays owned by the caller; a capacity below the
    // minimum is raised to it, and the default one grows as said above.
    explicit ByteOutput(int fd, std::size_t capacity = kDefaultCapacity, Reserve reserve = Reserve::No);
    ByteOutput(const ByteOutput&) = delete;
    ByteOutput& operator=(const ByteOutput&) = delete;
    // Gives back the reserved space past what was written, as finish()
    // does, without writing what is still buffered: a failed run leaves no
    // reserve behind.
    ~ByteOutput();

    // Holds the first `most` bytes in memory instead of writing them. Only
    // when more come, or at finish(), is `beforeWriting` called, once, and
    // what was held written after it: an output that fails before then has
    // written nothing. Where memory for what is held can't be had, the
    // output fails with ENOMEM, without calling `beforeWriting` or writing
    // anything. A nonzero errno from `beforeWriting` is the output's error.
    void holdUpTo(std::size_t most, std::function<int()> beforeWriting);

    // Room for at least `size` bytes (at most kMinimumCapacity): write them from the
    // returned pointer, then hand the end of what was written to commit().
    char* reserve(std::size_t size) {
        if (static_cast<std::size_t>(limit_ - end_) < size) flush();
        return end_;
    }
    void commit(char* newEnd) { end_ = newEnd; }

    void append(std::string_view text);
    // As append, but a large block is written straight from where it is.
    void write(std::string_view bytes);

    // Writes out everything buffered. After a failed write nothing more is
    // written and error() gives its errno.
    void flush();
    int error() const { return error_; }

    // Flushes (writing out what is held), then gives back the reserved
    // space past the end of what was written.
    void finish();

private:
    void grow();
    void reserveFor(std::size_t size);
    void giveBackReserve();
    void writeOut(const char* next, const char* end);
    bool hold(const char* next, const char* end);
    void release();

    int fd_;
    std::unique_ptr<char[]> buffer_;
    bool grows_;                  // to kLargeCapacity, after kGrowAfter bytes
    std::uint64_t flushed_ = 0;   // bytes flushed so far
    char* end_;
    char* limit_;
    int error_ = 0;
    bool reserving_;
    std::uint64_t written_ = 0;   // bytes written to fd so far
    std::uint64_t reserved_ = 0;  // bytes of the file reserved so far
    bool holding_ = false;
    std::size_t mostHeld_ = 0;
    std::vector<std::vector<char>> held_;  // the blocks flushed while holding
    std::size_t heldBytes_ = 0;
    std::function<int()> beforeWriting_;
};

}  // namespace datmos
