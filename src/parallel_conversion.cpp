#include "parallel_conversion.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <fcntl.h>
#include <functional>
#include <memory>
#include <mutex>
#include <sched.h>
#include <span>
#include <system_error>
#include <thread>
#include <unistd.h>
#include <vector>

#include "data_file.h"
#include "list_chunks.h"
#include "relation_chunk.h"
#include "text_counts.h"

namespace datmos {
namespace {

// Memory stays bounded: at most kSlotsPerWorker chunks per worker (and two
// more) are in flight, of at most kLargestChunk bytes each, and together
// at most kInputBudget bytes where there are many workers. More slots gave
// no more speed: the chunks then went cold in the caches between uses.
constexpr std::size_t kLargestChunk = std::size_t{256} << 10;
constexpr std::size_t kSmallestChunk = std::size_t{64} << 10;
constexpr std::size_t kInputBudget = std::size_t{8} << 20;
constexpr unsigned kSlotsPerWorker = 1;
// Relations read between two formatting passes: few enough to stay in the
// first-level cache.
constexpr std::size_t kRelationsAtOnce = 256;
// Every relation but the last takes at least 6 bytes of the list ("0 0 0"
// and a separator), the last at least 5.
constexpr std::size_t kShortestRelation = 5;
// How long a waiting thread watches for a change before it sleeps.
constexpr std::chrono::microseconds kWatch{50};

unsigned coresAvailable() {
    cpu_set_t cores;
    if (::sched_getaffinity(0, sizeof cores, &cores) == 0 && CPU_COUNT(&cores) > 0) {
        return static_cast<unsigned>(CPU_COUNT(&cores));
    }
    return std::max(1U, std::thread::hardware_concurrency());
}

void pause() {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#endif
}

// One chunk of the list, with what was made of it.
struct Slot {
    explicit Slot(std::size_t capacity)
        : chunk(capacity), lines(new char[(capacity / kShortestRelation + 1) * kRelationLineRoom]) {}

    ListChunk chunk;
    std::uint64_t sequence = 0;  // its place among the chunks
    std::uint64_t words = 0;
    std::uint64_t lineEnds = 0;     // counted only for input that can't be read again
    std::uint64_t wordsBefore = 0;  // in the chunks before it
    bool counted = false;
    bool placed = false;  // wordsBefore is known
    bool converted = false;

    // The chunk converted as if numbersBefore numbers came before it.
    std::int64_t numbersBefore = -1;
    Relation leading;  // the fields that finish a relation begun before it
    int leadingFields = 0;
    std::unique_ptr<char[]> lines;  // its whole relations, formatted
    std::size_t linesSize = 0;
    Relation trailing;  // the fields of a relation it ends inside of
    int trailingFields = 0;
    std::int64_t numbersRead = 0;
    std::optional<ChunkError> error;
};

// Reads a chunk's relations and formats them, taking its first number for
// number numbersBefore of the list's numbersTotal.
void convertChunk(Slot& slot, std::int64_t numbersBefore, std::int64_t numbersTotal, const ReadRules& rules) {
    const ListChunk& chunk = slot.chunk;
    ChunkReader reader(chunk.bytes, chunk.endOfInput, chunk.readError,
                       static_cast<int>(numbersBefore % kFieldsPerRelation), numbersTotal - numbersBefore, rules);
    slot.numbersBefore = numbersBefore;
    slot.leadingFields = reader.finishRelation(slot.leading);
    Relation relations[kRelationsAtOnce];
    char* out = slot.lines.get();
    while (const std::size_t count = reader.readRelations(relations)) {
        out = appendRelationLines(out, std::span<const Relation>(relations, count));
    }
    slot.linesSize = static_cast<std::size_t>(out - slot.lines.get());
    slot.trailingFields = reader.unfinished(slot.trailing);
    slot.numbersRead = reader.numbersRead();
    slot.error = reader.error();
}

void setField(Relation& relation, int field, const Relation& from) {
    if (field == 0) relation.first = from.first;
    if (field == 1) relation.second = from.second;
    if (field == 2) relation.weight = from.weight;
}

// Writes converted chunks in list order, joining the relations that run
// from one chunk into the next, and keeps the place in the list.
class InOrder {
public:
    InOrder(ByteInput& input, std::int64_t numbersTotal, const ReadRules& rules, ByteOutput& output)
        : input_(input),
          output_(output),
          rules_(rules),
          numbersTotal_(numbersTotal),
          countsLineEnds_(!input.rereadable()),
          lineEndsBefore_(input.lineAt(input.cursor()) - 1) {}

    std::int64_t numbersBefore() const { return numbersBefore_; }
    bool countsLineEnds() const { return countsLineEnds_; }
    RelationsOutcome outcome() { return std::move(outcome_); }

    // Writes the next chunk, converting it again first where it was
    // converted as if it began elsewhere. False once the conversion has
    // ended: every relation written, a field refused or a write failed.
    bool write(Slot& slot) {
        if (slot.numbersBefore != numbersBefore_) convertChunk(slot, numbersBefore_, numbersTotal_, rules_);
        for (int i = 0; i < slot.leadingFields; ++i) setField(partial_, partialFields_ + i, slot.leading);
        partialFields_ += slot.leadingFields;
        if (partialFields_ == kFieldsPerRelation) {
            writeRelation(output_, partial_);
            partialFields_ = 0;
        }
        output_.write(std::string_view(slot.lines.get(), slot.linesSize));
        if (const auto& error = slot.error) {
            outcome_ = {ReadError{lineOf(slot, error->at), error->what, error->gluedTo},
                        (numbersBefore_ + slot.numbersRead) / kFieldsPerRelation + 1, error->afterList};
            return false;
        }
        if (slot.trailingFields > 0) {
            partial_ = slot.trailing;
            partialFields_ = slot.trailingFields;
        }
        numbersBefore_ += slot.numbersRead;
        lineEndsBefore_ += slot.lineEnds;
        // In strict mode the whole list is read.
        return (numbersBefore_ < numbersTotal_ || rules_.strict) && !slot.chunk.endOfInput && output_.error() == 0;
    }

    // Reads the rest of the list here, in order, from the overlong chunk
    // on (the bytes `after` follow it, then what its descriptor holds), as
    // a stream that holds a number of any length in bounded memory.
    void readRest(const Slot& overlong, std::span<const char> after) {
        std::vector<char> first(overlong.chunk.bytes.begin(), overlong.chunk.bytes.end());
        first.insert(first.end(), after.begin(), after.end());
        ByteInput rest(input_.fd(), first, overlong.chunk.offset, lineEndsBefore_, kSmallestChunk);
        const std::int64_t relationCount = numbersTotal_ / kFieldsPerRelation;
        std::int64_t relation = numbersBefore_ / kFieldsPerRelation;  // read so far
        if (partialFields_ > 0) {
            if (auto error = readRelationFields(rest, partialFields_, partial_, rules_)) {
                outcome_ = {std::move(*error), relation + 1};
                return;
            }
            writeRelation(output_, partial_);
            ++relation;
        }
        std::vector<Relation> relations(kRelationsAtOnce);
        while (relation < relationCount && output_.error() == 0) {
            const auto room = static_cast<std::size_t>(std::min<std::int64_t>(kRelationsAtOnce, relationCount - relation));
            std::optional<ReadError> error;
            const std::size_t count = readRelations(rest, std::span(relations).first(room), error, rules_);
            writeRelations(output_, std::span(relations).first(count));
            relation += static_cast<std::int64_t>(count);
            if (error) {
                outcome_ = {std::move(*error), relation + 1};
                return;
            }
        }
        if (rules_.strict && output_.error() == 0) {
            if (auto error = readListEnd(rest)) outcome_ = {std::move(*error), relation, true};
        }
    }

private:
    std::uint64_t lineOf(const Slot& slot, const char* at) const {
        const ListChunk& chunk = slot.chunk;
        const std::uint64_t before = countsLineEnds_ ? lineEndsBefore_ : countLineEndsInFile(input_.fd(), chunk.offset);
        return 1 + before + countLineEnds(chunk.bytes.begin(), at, chunk.afterCarriageReturn);
    }

    ByteInput& input_;
    ByteOutput& output_;
    const ReadRules& rules_;
    const std::int64_t numbersTotal_;
    const bool countsLineEnds_;
    std::uint64_t lineEndsBefore_;  // before the chunk written next, where counted
    std::int64_t numbersBefore_ = 0;
    Relation partial_;  // a relation begun in an earlier chunk
    int partialFields_ = 0;
    RelationsOutcome outcome_;
};

// A pipe whose reading end wakes the cutter from a wait for input.
class Wakeup {
public:
    Wakeup() {
        if (::pipe2(ends_, O_CLOEXEC) != 0) throw std::system_error(errno, std::generic_category());
    }
    ~Wakeup() {
        ::close(ends_[0]);
        ::close(ends_[1]);
    }
    Wakeup(const Wakeup&) = delete;
    Wakeup& operator=(const Wakeup&) = delete;
    int fd() const { return ends_[0]; }
    void ring() {
        const char byte = 0;
        // A full pipe already wakes the cutter: nothing to do if this fails.
        if (::write(ends_[1], &byte, 1) < 0) return;
    }

private:
    int ends_[2];
};

// The threads, every one alike: each takes its turn to cut the next chunk
// from the list, counts its words, converts it as soon as it knows where
// the chunk begins in the list, and writes the converted chunks that are
// next in list order, so that a chunk mostly stays on the core that read
// it, and no thread waits only to pass work on.
class Workers {
public:
    // `wakeup` wakes a thread that waits for input when the conversion
    // ends. The calling thread is one of the workers.
    Workers(ChunkCutter& cutter, Wakeup& wakeup, unsigned workers, std::size_t chunkBytes, std::int64_t numbersTotal,
            const ReadRules& rules, InOrder& inOrder)
        : cutter_(cutter), wakeup_(wakeup), numbersTotal_(numbersTotal), rules_(rules), inOrder_(inOrder),
          workers_(workers) {
        const std::size_t slots = kSlotsPerWorker * workers + 2;
        for (std::size_t i = 0; i < slots; ++i) {
            slots_.push_back(std::make_unique<Slot>(chunkBytes));
            free_.push_back(slots_.back().get());
        }
        bySequence_.resize(slots);
    }
    ~Workers() { finish(); }

    // Converts the list on this thread and workers - 1 others, which
    // begin while this one writes what comes before the relations. Gives
    // the overlong chunk after which the rest of the list must be read in
    // order, if there is one.
    const Slot* run(const std::function<void()>& writeFirst) {
        writing_ = true;  // until writeFirst is done
        try {
            for (unsigned i = 1; i < workers_; ++i) threads_.emplace_back([this] { work(); });
        } catch (...) {
            finish();
            throw;
        }
        if (writeFirst) writeFirst();
        {
            std::unique_lock lock(mutex_);
            writing_ = false;
            writeInOrder(lock);
        }
        work();
        // The others end too once the list is cut, after writing what is
        // theirs to write.
        for (std::thread& thread : threads_) thread.join();
        threads_.clear();
        return overlong_;
    }

private:
    void announce() {
        changes_.fetch_add(1, std::memory_order_release);
        changed_.notify_all();
    }
    template <typename Ready>
    void await(std::unique_lock<std::mutex>& lock, Ready ready);
    void work();
    Slot* cut(std::unique_lock<std::mutex>& lock);
    void place(Slot& counted);
    void writeInOrder(std::unique_lock<std::mutex>& lock);
    void end(std::unique_lock<std::mutex>& lock);
    void finish() {
        {
            const std::lock_guard lock(mutex_);
            ended_ = true;
        }
        announce();
        wakeup_.ring();
        for (std::thread& thread : threads_) thread.join();
        threads_.clear();
    }

    ChunkCutter& cutter_;
    Wakeup& wakeup_;
    const std::int64_t numbersTotal_;
    const ReadRules& rules_;
    InOrder& inOrder_;
    const unsigned workers_;
    std::vector<std::unique_ptr<Slot>> slots_;
    std::vector<Slot*> bySequence_;  // the slot of chunk n at n % size

    std::mutex mutex_;
    std::condition_variable changed_;
    std::atomic<std::uint64_t> changes_ = 0;  // announced changes so far
    std::vector<Slot*> free_;
    bool cutting_ = false;    // a thread is cutting the next chunk
    bool cutAll_ = false;     // the chunk that ends the list (or an overlong one) is cut
    bool writing_ = false;    // a thread is writing chunks in list order
    bool ended_ = false;      // every chunk needed is written, or the conversion failed
    std::uint64_t nextToCut_ = 0;
    std::uint64_t nextToPlace_ = 0;
    std::uint64_t wordsBeforeNext_ = 0;
    std::uint64_t nextToWrite_ = 0;
    const Slot* overlong_ = nullptr;
    std::vector<std::thread> threads_;
};

// Waits until ready() holds, with the lock held. The state mostly changes
// within microseconds, and putting a thread to sleep and waking it takes
// longer than that (most of all on a virtual machine), so the thread
// watches for announcements for a while before it sleeps.
template <typename Ready>
void Workers::await(std::unique_lock<std::mutex>& lock, Ready ready) {
    const auto until = std::chrono::steady_clock::now() + kWatch;
    while (!ready()) {
        const std::uint64_t seen = changes_.load(std::memory_order_acquire);
        lock.unlock();
        bool changed = false;
        while (!(changed = changes_.load(std::memory_order_acquire) != seen) &&
               std::chrono::steady_clock::now() < until) {
            pause();
        }
        lock.lock();
        if (!changed) {
            changed_.wait(lock, ready);
            return;
        }
    }
}

// Ends the conversion for every thread; one waiting for input wakes up.
void Workers::end(std::unique_lock<std::mutex>& lock) {
    ended_ = true;
    lock.unlock();
    announce();
    wakeup_.ring();
    lock.lock();
}

// Cuts the next chunk of the list into a free slot, with the lock held
// except while reading; one thread at a time cuts, in list order. Null
// once there is nothing more to cut.
Slot* Workers::cut(std::unique_lock<std::mutex>& lock) {
    await(lock, [this] { return ended_ || cutAll_ || (!cutting_ && !free_.empty()); });
    if (ended_ || cutAll_) return nullptr;
    Slot* slot = free_.back();
    free_.pop_back();
    cutting_ = true;
    lock.unlock();
    const bool cut = cutter_.next(slot->chunk);
    lock.lock();
    cutting_ = false;
    if (!cut) {  // cancelled: the conversion has ended
        free_.push_back(slot);
        cutAll_ = true;
        announce();
        return nullptr;
    }
    slot->sequence = nextToCut_++;
    slot->counted = slot->placed = slot->converted = false;
    bySequence_[slot->sequence % bySequence_.size()] = slot;
    cutAll_ = slot->chunk.endOfInput || slot->chunk.overlong;
    announce();
    return slot;
}

// Gives the chunks whose words are counted, in list order, the count of
// words before them. Called with the lock held.
void Workers::place(Slot& counted) {
    counted.counted = true;
    for (;;) {
        Slot* next = bySequence_[nextToPlace_ % bySequence_.size()];
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
void Workers::writeInOrder(std::unique_lock<std::mutex>& lock) {
    if (writing_) return;
    writing_ = true;
    while (!ended_) {
        Slot* next = bySequence_[nextToWrite_ % bySequence_.size()];
        if (next == nullptr || next->sequence != nextToWrite_ || !next->converted) break;
        if (next->chunk.overlong) {  // read from here on in order, once every thread has stopped
            overlong_ = next;
            end(lock);
            break;
        }
        lock.unlock();
        const bool more = inOrder_.write(*next);
        lock.lock();
        ++nextToWrite_;
        free_.push_back(next);
        announce();
        if (!more) end(lock);
    }
    writing_ = false;
}

// A worker: cuts a chunk, counts its words, waits until the words before it
// are counted, converts it as if every word were one number (where that
// guess is wrong, InOrder::write converts it again) and writes what is next
// in list order.
void Workers::work() {
    std::unique_lock lock(mutex_);
    while (Slot* slot = cut(lock)) {
        lock.unlock();
        const ListChunk& chunk = slot->chunk;
        slot->words = countWords(chunk.bytes.begin(), chunk.bytes.end());
        if (inOrder_.countsLineEnds()) {
            slot->lineEnds = countLineEnds(chunk.bytes.begin(), chunk.bytes.end(), chunk.afterCarriageReturn);
        }
        lock.lock();
        place(*slot);
        announce();
        await(lock, [this, slot] { return ended_ || slot->placed; });
        if (ended_) return;
        lock.unlock();
        if (!chunk.overlong) convertChunk(*slot, static_cast<std::int64_t>(slot->wordsBefore), numbersTotal_, rules_);
        lock.lock();
        // No thread waits for this: whoever writes in order looks again
        // under the lock before it stops.
        slot->converted = true;
        writeInOrder(lock);
    }
}

// One thread does it all, chunk after chunk: where only one core is
// available, threads would only take turns.
RelationsOutcome convertOnThisThread(ChunkCutter& cutter, std::size_t chunkBytes, InOrder& inOrder,
                                     std::int64_t numbersTotal, const ReadRules& rules,
                                     const std::function<void()>& writeFirst) {
    if (writeFirst) writeFirst();
    Slot slot(chunkBytes);
    while (cutter.next(slot.chunk)) {
        if (slot.chunk.overlong) {
            inOrder.readRest(slot, cutter.carry());
            break;
        }
        const ListChunk& chunk = slot.chunk;
        if (inOrder.countsLineEnds()) {
            slot.lineEnds = countLineEnds(chunk.bytes.begin(), chunk.bytes.end(), chunk.afterCarriageReturn);
        }
        convertChunk(slot, inOrder.numbersBefore(), numbersTotal, rules);
        if (!inOrder.write(slot)) break;
    }
    return inOrder.outcome();
}

}  // namespace

RelationsOutcome convertRelations(ByteInput& input, std::int32_t relationCount, ByteOutput& output,
                                  unsigned workers, std::size_t chunkBytes, const ReadRules& rules,
                                  const std::function<void()>& writeFirst) {
    if (relationCount <= 0 && !rules.strict) {
        if (writeFirst) writeFirst();
        return {};
    }
    const std::int64_t numbersTotal = std::int64_t{std::max(relationCount, 0)} * kFieldsPerRelation;
    if (workers == 0) workers = coresAvailable();
    if (chunkBytes == 0) {
        chunkBytes = std::clamp(kInputBudget / (kSlotsPerWorker * workers + 2), kSmallestChunk, kLargestChunk);
    }
    InOrder inOrder(input, numbersTotal, rules, output);
    Wakeup wakeup;
    // The header's last number ends right before the cursor: no carriage
    // return stands there.
    ChunkCutter cutter(input.fd(), std::span<const char>(input.cursor(), input.end()), input.offsetOf(input.cursor()),
                       false, wakeup.fd());
    if (workers == 1) return convertOnThisThread(cutter, chunkBytes, inOrder, numbersTotal, rules, writeFirst);

    Workers threads(cutter, wakeup, workers, chunkBytes, numbersTotal, rules, inOrder);
    if (const Slot* overlong = threads.run(writeFirst)) inOrder.readRest(*overlong, cutter.carry());
    return inOrder.outcome();
}

}  // namespace datmos
