#include "worker_team.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <new>
#include <vector>

#include "team_threads.h"
#include "text_counts.h"

namespace datmos {
namespace {

// Each member brings one chunk, and the team two more where they can be
// had. More gave no more speed: the chunks then went cold in the caches
// between uses.
constexpr unsigned kChunksBeyondMembers = 2;
// How long a waiting thread watches for a change before it sleeps.
constexpr std::chrono::microseconds kWatch{50};

class Team {
public:
    Team(ChunkCutter& cutter, Wakeup& wakeup, const TeamPlan& plan, std::int64_t numbersTotal, const ReadRules& rules,
         OrderedJoin& join)
        : cutter_(cutter),
          wakeup_(wakeup),
          numbersTotal_(numbersTotal),
          rules_(rules),
          join_(join),
          chunkBytes_(plan.chunkBytes),
          others_(std::max(plan.size, 1U) - 1) {
        const std::size_t most = std::max(plan.size, 1U) + kChunksBeyondMembers;
        chunks_.reserve(most);
        free_.reserve(most);
        bySequence_.assign(most, nullptr);
        for (unsigned i = 0; i <= kChunksBeyondMembers && equip(); ++i) continue;
    }

    // Whether the calling thread has a chunk to begin with.
    bool equipped() const { return !chunks_.empty(); }

    // Converts the list on this thread and the others that it starts. Gives
    // the overlong chunk after which the rest of the list must be read in
    // order, if there is one.
    std::unique_ptr<ConvertedChunk> run();

private:
    void announce() {
        changes_.fetch_add(1, std::memory_order_release);
        changed_.notify_all();
    }
    template <typename Ready>
    void await(std::unique_lock<std::mutex>& lock, Ready ready);
    bool equip();
    void grow();
    void member();
    void work();
    ConvertedChunk* cut(std::unique_lock<std::mutex>& lock);
    bool count(std::unique_lock<std::mutex>& lock, ConvertedChunk& converted);
    void convert(std::unique_lock<std::mutex>& lock, ConvertedChunk& converted);
    void place(ConvertedChunk& counted);
    void writeInOrder(std::unique_lock<std::mutex>& lock);
    void end(std::unique_lock<std::mutex>& lock);
    void fail(std::exception_ptr error);

    ChunkCutter& cutter_;
    Wakeup& wakeup_;
    const std::int64_t numbersTotal_;
    const ReadRules& rules_;
    OrderedJoin& join_;
    const std::size_t chunkBytes_;

    std::mutex mutex_;
    std::condition_variable changed_;
    std::atomic<std::uint64_t> changes_ = 0;  // announced changes so far
    std::vector<std::unique_ptr<ConvertedChunk>> chunks_;  // had before the members that bring them start
    std::vector<ConvertedChunk*> free_;
    std::vector<ConvertedChunk*> bySequence_;  // the chunk numbered n at n % its size
    bool cutting_ = false;  // a thread is cutting the next chunk
    bool cutAll_ = false;   // the chunk that ends the list (or an overlong one) is cut
    bool writing_ = false;  // a thread is writing chunks in list order
    bool ended_ = false;    // every chunk needed is written, or the conversion failed
    std::uint64_t nextToCut_ = 0;
    std::uint64_t nextToPlace_ = 0;
    std::uint64_t wordsBeforeNext_ = 0;
    std::uint64_t nextToWrite_ = 0;
    const ConvertedChunk* overlong_ = nullptr;
    std::exception_ptr failure_;
    TeamThreads others_;  // the members besides the calling thread
};

std::unique_ptr<ConvertedChunk> Team::run() {
    try {
        {
            // A list that needs a team has more than one chunk: one more
            // thread begins on it at once.
            std::unique_lock lock(mutex_);
            grow();
        }
        work();
    } catch (...) {
        fail(std::current_exception());
    }
    others_.joinAll();  // the others end too once the list is cut or the conversion ends
    if (failure_) std::rethrow_exception(failure_);
    for (std::unique_ptr<ConvertedChunk>& chunk : chunks_) {
        if (chunk.get() == overlong_) return std::move(chunk);
    }
    return nullptr;
}

// Adds a chunk, with its buffers, to those in flight; false where the
// memory for it can't be had.
bool Team::equip() {
    try {
        chunks_.push_back(std::make_unique<ConvertedChunk>(chunkBytes_));
    } catch (const std::bad_alloc&) {
        return false;
    }
    free_.push_back(chunks_.back().get());
    return true;
}

// Starts one more member, with the lock held, unless the team is whole,
// its chunk can't be had or the system refuses a thread.
void Team::grow() {
    if (others_.full() || !equip()) return;
    others_.start([this] { member(); });
}

// A member started by grow(): nothing may escape its thread.
void Team::member() {
    try {
        work();
    } catch (...) {
        fail(std::current_exception());
    }
}

// Waits until ready() holds, with the lock held. The state mostly changes
// within microseconds, less than putting a thread to sleep and waking it
// takes (most of all on a virtual machine): so it watches a while first.
template <typename Ready>
void Team::await(std::unique_lock<std::mutex>& lock, Ready ready) {
    const auto until = std::chrono::steady_clock::now() + kWatch;
    while (!ready()) {
        const std::uint64_t seen = changes_.load(std::memory_order_acquire);
        lock.unlock();
        bool changed = false;
        while (!(changed = changes_.load(std::memory_order_acquire) != seen) &&
               std::chrono::steady_clock::now() < until) {
#if defined(__x86_64__) || defined(__i386__)
            __builtin_ia32_pause();
#endif
        }
        lock.lock();
        if (!changed) {
            changed_.wait(lock, ready);
            return;
        }
    }
}

// Ends the conversion for every member; one waiting for input wakes up.
void Team::end(std::unique_lock<std::mutex>& lock) {
    ended_ = true;
    lock.unlock();
    announce();
    wakeup_.ring();
    lock.lock();
}

// Ends the conversion after an exception in a member, which run() passes on.
void Team::fail(std::exception_ptr error) {
    std::unique_lock lock(mutex_);
    if (!failure_) failure_ = std::move(error);
    end(lock);
}

// Cuts the next chunk of the list into a free one, with the lock held
// except while reading; one thread at a time cuts, in list order. Null
// once there is nothing more to cut.
ConvertedChunk* Team::cut(std::unique_lock<std::mutex>& lock) {
    await(lock, [this] { return ended_ || cutAll_ || (!cutting_ && !free_.empty()); });
    if (ended_ || cutAll_) return nullptr;
    ConvertedChunk* converted = free_.back();
    free_.pop_back();
    cutting_ = true;
    lock.unlock();
    const bool cut = cutter_.next(converted->chunk);
    lock.lock();
    cutting_ = false;
    if (!cut) {  // cancelled: the conversion has ended
        free_.push_back(converted);
        cutAll_ = true;
        announce();
        return nullptr;
    }
    converted->sequence = nextToCut_++;
    converted->counted = converted->placed = converted->converted = false;
    bySequence_[converted->sequence % bySequence_.size()] = converted;
    cutAll_ = converted->chunk.endOfInput || converted->chunk.overlong;
    if (!cutAll_) grow();
    announce();
    return converted;
}

// Counts the chunk's words (and line ends, where needed) and waits until
// the words before it are known; false once the conversion has ended.
bool Team::count(std::unique_lock<std::mutex>& lock, ConvertedChunk& converted) {
    lock.unlock();
    const ListChunk& chunk = converted.chunk;
    converted.words = countWords(chunk.bytes.begin(), chunk.bytes.end());
    if (join_.countsLineEnds()) {
        converted.lineEnds = countLineEnds(chunk.bytes.begin(), chunk.bytes.end(), chunk.afterCarriageReturn);
    }
    lock.lock();
    place(converted);
    announce();
    await(lock, [this, &converted] { return ended_ || converted.placed; });
    return !ended_;
}

// Gives the chunks whose words are counted, in list order, the count of
// words before them. Called with the lock held.
void Team::place(ConvertedChunk& counted) {
    counted.counted = true;
    for (;;) {
        ConvertedChunk* next = bySequence_[nextToPlace_ % bySequence_.size()];
        if (next == nullptr || next->sequence != nextToPlace_ || !next->counted) return;
        next->wordsBefore = wordsBeforeNext_;
        next->placed = true;
        wordsBeforeNext_ += next->words;
        ++nextToPlace_;
    }
}

// Converts the chunk as if every word before it were one number; where
// that guess is wrong, OrderedJoin::write converts it again. No thread
// waits for this: whoever writes in order looks again under the lock
// before it stops.
void Team::convert(std::unique_lock<std::mutex>& lock, ConvertedChunk& converted) {
    lock.unlock();
    if (!converted.chunk.overlong) {
        convertChunk(converted, static_cast<std::int64_t>(converted.wordsBefore), numbersTotal_, rules_);
    }
    lock.lock();
    converted.converted = true;
}

// Writes the converted chunks that are next in list order, unless another
// thread already does: that one writes them. Called with the lock held;
// it is let go while writing.
void Team::writeInOrder(std::unique_lock<std::mutex>& lock) {
    if (writing_) return;
    writing_ = true;
    while (!ended_) {
        ConvertedChunk* next = bySequence_[nextToWrite_ % bySequence_.size()];
        if (next == nullptr || next->sequence != nextToWrite_ || !next->converted) break;
        if (next->chunk.overlong) {  // read from here on in order, once every thread has stopped
            overlong_ = next;
            end(lock);
            break;
        }
        lock.unlock();
        const bool more = join_.write(*next);
        lock.lock();
        ++nextToWrite_;
        free_.push_back(next);
        announce();
        if (!more) end(lock);
    }
    writing_ = false;
}

// A member: cuts a chunk, counts it, converts it and writes what is next
// in list order, until the list is cut or the conversion ends.
void Team::work() {
    std::unique_lock lock(mutex_);
    while (ConvertedChunk* converted = cut(lock)) {
        if (!count(lock, *converted)) return;
        convert(lock, *converted);
        writeInOrder(lock);
    }
}

}  // namespace

TeamEnd convertWithTeam(ChunkCutter& cutter, Wakeup& wakeup, const TeamPlan& plan, std::int64_t numbersTotal,
                        const ReadRules& rules, OrderedJoin& join) {
    Team team(cutter, wakeup, plan, numbersTotal, rules, join);
    if (!team.equipped()) return {};
    return {true, team.run()};
}

}  // namespace datmos
