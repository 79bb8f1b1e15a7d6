#include "parallel_conversion.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <fcntl.h>
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

namespace datmos {
namespace {

// Memory stays bounded: at most kSlotsPerWorker chunks per worker (and two
// more) are in flight, of at most kLargestChunk bytes each, and together
// at most kInputBudget bytes where there are many workers.
constexpr std::size_t kLargestChunk = std::size_t{256} << 10;
constexpr std::size_t kSmallestChunk = std::size_t{64} << 10;
constexpr std::size_t kInputBudget = std::size_t{8} << 20;
constexpr unsigned kSlotsPerWorker = 2;
// Relations read between two formatting passes: few enough to stay in the
// first-level cache.
constexpr std::size_t kRelationsAtOnce = 256;
// Every relation takes at least 5 bytes of the list ("0 0 0" and a
// separator before the next).
constexpr std::size_t kShortestRelation = 5;

// How long a waiting thread watches for a change before it sleeps.
constexpr std::chrono::microseconds kWatch{50};

void pause() {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#endif
}

unsigned coresAvailable() {
    cpu_set_t cores;
    if (::sched_getaffinity(0, sizeof cores, &cores) == 0 && CPU_COUNT(&cores) > 0) {
        return static_cast<unsigned>(CPU_COUNT(&cores));
    }
    return std::max(1U, std::thread::hardware_concurrency());
}

// One chunk of the list with what the workers made of it.
struct Slot {
    explicit Slot(std::size_t capacity)
        : chunk(capacity), lines(new char[(capacity / kShortestRelation + 1) * kRelationLineRoom]) {}

    ListChunk chunk;
    std::uint64_t sequence = 0;  // its place among the chunks
    bool counted = false;        // words (and, if asked, lineEnds) known
    bool placed = false;         // wordsBefore known
    bool converted = false;
    std::uint64_t words = 0;
    std::uint64_t lineEnds = 0;
    std::uint64_t wordsBefore = 0;  // in the chunks before it

    // What converting it gave, for a chunk that begins after numbersBefore numbers.
    std::int64_t numbersBefore = 0;
    Relation leading;  // the fields that finish a relation begun before it
    int leadingFields = 0;
    std::unique_ptr<char[]> lines;  // its whole relations, formatted
    std::size_t linesSize = 0;
    Relation trailing;  // the fields of a relation it ends inside of
    int trailingFields = 0;
    std::int64_t numbersRead = 0;
    std::optional<ChunkError> error;
};

// Reads a chunk's relations and formats them, as the fields of the list
// numbered from numbersBefore on; numbersTotal is how many the list has.
void convertChunk(Slot& slot, std::int64_t numbersBefore, std::int64_t numbersTotal) {
    const ListChunk& chunk = slot.chunk;
    ChunkReader reader(chunk.bytes, chunk.endOfInput, chunk.readError,
                       static_cast<int>(numbersBefore % kFieldsPerRelation), numbersTotal - numbersBefore);
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

class Pipeline {
public:
    Pipeline(ByteInput& input, std::int32_t relationCount, unsigned workers, std::size_t chunkBytes)
        : input_(input), numbersTotal_(std::int64_t{relationCount} * kFieldsPerRelation) {
        workers = workers != 0 ? workers : coresAvailable();
        const std::size_t slots = kSlotsPerWorker * workers + 2;
        if (chunkBytes == 0) chunkBytes = std::clamp(kInputBudget / slots, kSmallestChunk, kLargestChunk);
        for (std::size_t i = 0; i < slots; ++i) {
            slots_.push_back(std::make_unique<Slot>(chunkBytes));
            free_.push_back(slots_.back().get());
        }
        bySequence_.resize(slots);
        countLineEnds_ = !input.rereadable();
        if (::pipe2(cancel_, O_CLOEXEC) != 0) throw std::system_error(errno, std::generic_category());
        // The header's last number ends right before the cursor: no
        // carriage return stands there.
        cutter_.emplace(input.fd(), std::span<const char>(input.cursor(), input.end()), input.offsetOf(input.cursor()),
                        false, cancel_[0]);
        lineEndsBefore_ = input.lineAt(input.cursor()) - 1;
        try {
            threads_.emplace_back([this] { cut(); });
            for (unsigned i = 0; i < workers; ++i) threads_.emplace_back([this] { work(); });
        } catch (...) {
            stop();
            throw;
        }
    }

    ~Pipeline() {
        stop();
        ::close(cancel_[0]);
        ::close(cancel_[1]);
    }

    RelationsOutcome writeInOrder(ByteOutput& output);

private:
    void stop() {
        {
            const std::lock_guard lock(mutex_);
            stopping_ = true;
        }
        announce();
        const char byte = 0;
        static_cast<void>(::write(cancel_[1], &byte, 1));
        for (std::thread& thread : threads_) thread.join();
        threads_.clear();
    }

    // Wakes the threads that wait for a change of the shared state, which
    // the caller has just made.
    void announce() {
        changes_.fetch_add(1, std::memory_order_release);
        changed_.notify_all();
    }
    template <typename Ready>
    void await(std::unique_lock<std::mutex>& lock, Ready ready);

    void cut();
    void work();
    void place(Slot& slot);
    Slot& awaitConverted(std::uint64_t sequence);
    void release(Slot& slot);
    std::uint64_t lineOf(const Slot& slot, const char* at);
    RelationsOutcome readRest(Slot& overlong, std::int64_t numbersBefore, Relation partial, int partialFields,
                              ByteOutput& output);

    ByteInput& input_;
    const std::int64_t numbersTotal_;
    std::vector<std::unique_ptr<Slot>> slots_;
    std::vector<Slot*> bySequence_;  // the slot of chunk n at n % size
    std::optional<ChunkCutter> cutter_;
    int cancel_[2] = {-1, -1};
    bool countLineEnds_ = false;
    std::uint64_t lineEndsBefore_ = 0;  // before the chunk written next, where counted

    std::mutex mutex_;
    std::condition_variable changed_;
    std::atomic<std::uint64_t> changes_ = 0;  // announcements so far
    std::deque<Slot*> free_;
    std::deque<Slot*> filled_;
    std::uint64_t nextToPlace_ = 0;
    std::uint64_t wordsBeforeNext_ = 0;
    bool stopping_ = false;
    std::vector<std::thread> threads_;
};

// Waits until ready() holds, with the lock held. The state mostly changes
// within microseconds, and putting a thread to sleep and waking it takes
// longer than that (most of all on a virtual machine), so the thread
// watches for announcements for a while before it sleeps.
template <typename Ready>
void Pipeline::await(std::unique_lock<std::mutex>& lock, Ready ready) {
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

// The cutting thread: fills free slots with the next chunks.
void Pipeline::cut() {
    for (std::uint64_t sequence = 0;; ++sequence) {
        Slot* slot = nullptr;
        {
            std::unique_lock lock(mutex_);
            await(lock, [this] { return stopping_ || !free_.empty(); });
            if (stopping_) return;
            slot = free_.front();
            free_.pop_front();
        }
        if (!cutter_->next(slot->chunk)) return;
        {
            const std::lock_guard lock(mutex_);
            slot->sequence = sequence;
            slot->counted = slot->placed = slot->converted = false;
            bySequence_[sequence % bySequence_.size()] = slot;
            filled_.push_back(slot);
        }
        announce();
        if (slot->chunk.endOfInput || slot->chunk.overlong) return;
    }
}

// Gives the chunks whose words are counted, in order, the count of words
// before them. Called with the lock held.
void Pipeline::place(Slot& counted) {
    counted.counted = true;
    for (;;) {
        Slot* next = bySequence_[nextToPlace_ % bySequence_.size()];
        if (next == nullptr || next->sequence != nextToPlace_ || !next->counted || next->placed) return;
        next->wordsBefore = wordsBeforeNext_;
        next->placed = true;
        wordsBeforeNext_ += next->words;
        ++nextToPlace_;
    }
}

// A worker thread: counts a chunk's words, waits until the words before
// it are known, and converts it as if every word were one number (the
// writer checks that guess).
void Pipeline::work() {
    for (;;) {
        Slot* slot = nullptr;
        {
            std::unique_lock lock(mutex_);
            await(lock, [this] { return stopping_ || !filled_.empty(); });
            if (stopping_) return;
            slot = filled_.front();
            filled_.pop_front();
        }
        const PaddedBytes& bytes = slot->chunk.bytes;
        slot->words = countWords(bytes.begin(), bytes.end());
        if (countLineEnds_) slot->lineEnds = countLineEnds(bytes.begin(), bytes.end(), slot->chunk.afterCarriageReturn);
        {
            std::unique_lock lock(mutex_);
            place(*slot);
            announce();
            await(lock, [this, slot] { return stopping_ || slot->placed; });
            if (stopping_) return;
        }
        if (!slot->chunk.overlong) convertChunk(*slot, static_cast<std::int64_t>(slot->wordsBefore), numbersTotal_);
        {
            const std::lock_guard lock(mutex_);
            slot->converted = true;
        }
        announce();
    }
}

Slot& Pipeline::awaitConverted(std::uint64_t sequence) {
    std::unique_lock lock(mutex_);
    await(lock, [this, sequence] {
        const Slot* slot = bySequence_[sequence % bySequence_.size()];
        return slot != nullptr && slot->sequence == sequence && slot->converted;
    });
    return *bySequence_[sequence % bySequence_.size()];
}

void Pipeline::release(Slot& slot) {
    {
        const std::lock_guard lock(mutex_);
        free_.push_back(&slot);
    }
    announce();
}

std::uint64_t Pipeline::lineOf(const Slot& slot, const char* at) {
    const ListChunk& chunk = slot.chunk;
    const std::uint64_t before = countLineEnds_ ? lineEndsBefore_ : countLineEndsInFile(input_.fd(), chunk.offset);
    return 1 + before + countLineEnds(chunk.bytes.begin(), at, chunk.afterCarriageReturn);
}

RelationsOutcome Pipeline::writeInOrder(ByteOutput& output) {
    std::int64_t numbersBefore = 0;
    Relation partial;  // a relation begun in an earlier chunk
    int partialFields = 0;
    for (std::uint64_t sequence = 0; numbersBefore < numbersTotal_ && output.error() == 0; ++sequence) {
        Slot& slot = awaitConverted(sequence);
        if (slot.chunk.overlong) return readRest(slot, numbersBefore, partial, partialFields, output);
        // The workers took every word for one number; where that was wrong
        // (numbers glued together, or a word that is no number), the chunk
        // is converted again from where it truly begins.
        if (slot.numbersBefore != numbersBefore) convertChunk(slot, numbersBefore, numbersTotal_);
        if (slot.leadingFields > 0) {
            Relation& relation = partial;
            const Relation& leading = slot.leading;
            for (int field = partialFields; field < partialFields + slot.leadingFields; ++field) {
                if (field == 0) relation.first = leading.first;
                if (field == 1) relation.second = leading.second;
                if (field == 2) relation.weight = leading.weight;
            }
            partialFields += slot.leadingFields;
            if (partialFields == kFieldsPerRelation) {
                writeRelation(output, partial);
                partialFields = 0;
            }
        }
        output.write(std::string_view(slot.lines.get(), slot.linesSize));
        if (slot.error) {
            return {ReadError{lineOf(slot, slot.error->at), slot.error->what},
                    (numbersBefore + slot.numbersRead) / kFieldsPerRelation + 1};
        }
        if (slot.trailingFields > 0) {
            partial = slot.trailing;
            partialFields = slot.trailingFields;
        }
        numbersBefore += slot.numbersRead;
        lineEndsBefore_ += slot.lineEnds;
        const bool last = slot.chunk.endOfInput;
        release(slot);
        if (last) break;
    }
    return {};
}

// After a chunk that one overlong number fills, the rest of the list is
// read here, in order, as a stream that holds any number in bounded memory.
RelationsOutcome Pipeline::readRest(Slot& overlong, std::int64_t numbersBefore, Relation partial, int partialFields,
                                    ByteOutput& output) {
    stop();  // the cutter has finished; the workers have nothing left
    std::vector<char> first(overlong.chunk.bytes.begin(), overlong.chunk.bytes.end());
    first.insert(first.end(), cutter_->carry().begin(), cutter_->carry().end());
    ByteInput rest(input_.fd(), first, overlong.chunk.offset, lineEndsBefore_);
    const std::int64_t relationCount = numbersTotal_ / kFieldsPerRelation;
    std::int64_t relation = numbersBefore / kFieldsPerRelation;  // read so far
    if (partialFields > 0) {
        if (auto error = readRelationFields(rest, partialFields, partial)) return {std::move(*error), relation + 1};
        writeRelation(output, partial);
        ++relation;
    }
    std::vector<Relation> relations(kRelationsAtOnce);
    while (relation < relationCount && output.error() == 0) {
        const auto room = static_cast<std::size_t>(std::min<std::int64_t>(kRelationsAtOnce, relationCount - relation));
        std::optional<ReadError> error;
        const std::size_t count = readRelations(rest, std::span(relations).first(room), error);
        writeRelations(output, std::span(relations).first(count));
        relation += static_cast<std::int64_t>(count);
        if (error) return {std::move(*error), relation + 1};
    }
    return {};
}

}  // namespace

RelationsOutcome convertRelations(ByteInput& input, std::int32_t relationCount, ByteOutput& output,
                                  unsigned workers, std::size_t chunkBytes) {
    if (relationCount <= 0) return {};
    Pipeline pipeline(input, relationCount, workers, chunkBytes);
    return pipeline.writeInOrder(output);
}

}  // namespace datmos
