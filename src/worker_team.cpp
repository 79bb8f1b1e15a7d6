#include "worker_team.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <exception>
#include <memory>
#include <mutex>
#include <new>
#include <vector>

#include "data_file.h"
#include "stream_conversion.h"
#include "team_threads.h"
#include "text_counts.h"

namespace datmos {
namespace {

// At most this many chunks per member, and two more, are in flight. More
// gave no more speed: the chunks then went cold in the caches between uses.
constexpr unsigned kChunksPerMember = 1;
constexpr unsigned kChunksBeyondMembers = 2;
// How long a waiting thread watches for a change before it sleeps.
constexpr std::chrono::microseconds kWatch{50};
// A chunk with room for the lines that its bytes give (convertChunk makes
// room for twice the bytes, which they rarely exceed): had before the chunk
// is first cut, so that a member that can't have its memory takes no
// chunk and the team makes do with the chunks it has, instead of failing
// midway.
std::unique_ptr<ConvertedChunk> equippedChunk(std::size_t chunkBytes) {
    auto converted = std::make_unique<ConvertedChunk>(chunkBytes);
    const std::size_t room = 2 * chunkBytes + kRelationsAtOnce * kRelationLineRoom;
    converted->lines.reset(new char[room]);
    converted->linesRoom = room;
    return converted;
}

class Team {
public:
    Team(ChunkCutter& cutter, Wakeup& wakeup, const TeamPlan& plan, std::int64_t numbersTotal, const ReadRules& rules,
         OrderedJoin& join)
        : cutter_(cutter),
          wakeup_(wakeup),
          numbersTotal_(numbersTotal),
          rules_(rules),
          join_(join),
          size_(std::max(plan.size, 1U)),
          chunkBytes_(plan.chunkBytes),
          chunksInFlight_(kChunksPerMember * size_ + kChunksBeyondMembers),
          bySequence_(chunksInFlight_, nullptr),
          others_(size_ - 1) {
        chunks_.reserve(chunksInFlight_);
        free_.reserve(chunksInFlight_);
    }

    // Converts the list on this thread and the others that it starts, which
    // begin while this one writes what comes before the relations. Gives the
    // overlong chunk after which the rest of the list must be read in
    // order, if there is one.
    const ConvertedChunk* run(const std::function<void()>& writeFirst);

private:
    void announce() {
        changes_.fetch_add(1, std::memory_order_release);
        changed_.notify_all();
    }
    template <typename Ready>
    void await(std::unique_lock<std::mutex>& lock, Ready ready);
    void member();
    void work();
    void grow();
    bool equip();
    ConvertedChunk* cut(std::unique_lock<std::mutex>& lock);
    void place(ConvertedChunk& counted);
    void writeInOrder(std::unique_lock<std::mutex>& lock);
    void end(std::unique_lock<std::mutex>& lock);
    void fail(std::exception_ptr error);

    ChunkCutter& cutter_;
    Wakeup& wakeup_;
    const std::int64_t numbersTotal_;
    const ReadRules& rules_;
    OrderedJoin& join_;
    const unsigned size_;
    const std::size_t chunkBytes_;
    std::size_t chunksInFlight_;  // fewer where memory for more can't be had

    std::mutex mutex_;
    std::condition_variable changed_;
    std::atomic<std::uint64_t> changes_ = 0;  // announced changes so far
    std::vector<std::unique_ptr<ConvertedChunk>> chunks_;  // made as they are first needed
    std::vector<ConvertedChunk*> free_;
    std::vector<ConvertedChunk*> bySequence_;  // the chunk numbered n at n % size
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

const ConvertedChunk* Team::run(const std::function<void()>& writeFirst) {
    try {
        {
            // A list that needs a team has more than one chunk: one more
            // thread begins on it while this one writes what comes first.
            std::unique_lock lock(mutex_);
            writing_ = true;  // until writeFirst is done
            // This thread's chunk first: a team that can't have one fails.
            if (!equip()) throw std::bad_alloc();
            grow();
        }
        if (writeFirst) writeFirst();
        {
            std::unique_lock lock(mutex_);
            writing_ = false;
            writeInOrder(lock);
        }
        work();
    } catch (...) {
        fail(std::current_exception());
    }
    others_.joinAll();  // the others end too once the list is cut or the conversion ends
    if (failure_) std::rethrow_exception(failure_);
    return overlong_;
}

// Starts one more member, unless the team is whole, the chunk it is to take
// first can't be had, or the system refuses a thread: a member that can't
// be equipped is not started, and the team goes on with those it has.
void Team::grow() {
    if (others_.full() || !equip()) return;
    others_.start([this] { member(); });
}

// Makes one more chunk, free for the next cut, unless as many as may be in
// flight are made or memory for it can't be had (then no more are made).
bool Team::equip() {
    if (chunks_.size() >= chunksInFlight_) return false;
    try {
        chunks_.push_back(equippedChunk(chunkBytes_));
    } catch (const std::bad_alloc&) {
        chunksInFlight_ = chunks_.size();
        return false;
    }
    free_.push_back(chunks_.back().get());
    return true;
}

// Waits until ready() holds, with the lock held. The state mostly changes
// within microseconds, and putting a thread to sleep and waking it takes
// longer than that (most of all on a virtual machine), so the thread
// watches for announcements for a while before it sleeps.
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

// A member started by grow(): nothing may escape its thread.
void Team::member() {
    try {
        work();
    } catch (...) {
        fail(std::current_exception());
    }
}

// Cuts the next chunk of the list, with the lock held except while
// reading; one thread at a time cuts, in list order. Null once there is
// nothing more to cut.
ConvertedChunk* Team::cut(std::unique_lock<std::mutex>& lock) {
    await(lock, [this] {
        return ended_ || cutAll_ || (!cutting_ && (!free_.empty() || chunks_.size() < chunksInFlight_));
    });
    if (ended_ || cutAll_) return nullptr;
    if (free_.empty() && !equip()) {
        if (chunks_.empty()) throw std::bad_alloc();
        return cut(lock);  // the team makes do with the chunks it has
    }
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

// A member: cuts a chunk, counts its words, waits until the words before it
// are counted, converts it as if every word were one number (where that
// guess is wrong, OrderedJoin::write converts it again) and writes what is
// next in list order.
void Team::work() {
    std::unique_lock lock(mutex_);
    while (ConvertedChunk* converted = cut(lock)) {
        lock.unlock();
        const ListChunk& chunk = converted->chunk;
        converted->words = countWords(chunk.bytes.begin(), chunk.bytes.end());
        if (join_.countsLineEnds()) {
            converted->lineEnds = countLineEnds(chunk.bytes.begin(), chunk.bytes.end(), chunk.afterCarriageReturn);
        }
        lock.lock();
        place(*converted);
        announce();
        await(lock, [this, converted] { return ended_ || converted->placed; });
        if (ended_) return;
        lock.unlock();
        if (!chunk.overlong) {
            convertChunk(*converted, static_cast<std::int64_t>(converted->wordsBefore), numbersTotal_, rules_);
        }
        lock.lock();
        // No thread waits for this: whoever writes in order looks again
        // under the lock before it stops.
        converted->converted = true;
        writeInOrder(lock);
    }
}

}  // namespace

void convertWithTeam(ChunkCutter& cutter, Wakeup& wakeup, const TeamPlan& plan, std::int64_t numbersTotal,
                     const ReadRules& rules, OrderedJoin& join, const std::function<void()>& writeFirst) {
    Team team(cutter, wakeup, plan, numbersTotal, rules, join);
    if (const ConvertedChunk* overlong = team.run(writeFirst)) join.readRest(*overlong, cutter.carry());
}

}  // namespace datmos
