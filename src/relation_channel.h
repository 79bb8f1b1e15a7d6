// Hands batches of relations from the thread that reads the relation list
// to the thread that writes the data file, through a fixed set of batches
// that cycle between the two, so memory stays bounded.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <mutex>
#include <optional>
#include <utility>
#include <vector>

#include "records.h"
#include "relation_list.h"

namespace datmos {

// The first `count` of `relations` in list order (the vector keeps its
// full size, so that a batch is never cleared or refilled element by
// element); `error` ends the list after them, and `last` marks the final
// batch.
struct RelationBatch {
    std::vector<Relation> relations;
    std::size_t count = 0;
    std::optional<ReadError> error;
    std::int64_t errorIndex = 0;  // 0-based index of the relation that failed
    bool last = false;
};

// A queue that blocks while empty, until closed.
template <typename T>
class Channel {
public:
    void push(T item) {
        {
            const std::lock_guard lock(mutex_);
            items_.push_back(std::move(item));
            someReady_.store(true, std::memory_order_release);
        }
        ready_.notify_one();
    }

    // The next item, or nothing once the channel is closed.
    std::optional<T> pop() {
        awaitBriefly();
        std::unique_lock lock(mutex_);
        ready_.wait(lock, [this] { return closed_ || !items_.empty(); });
        if (closed_) return std::nullopt;
        T item = std::move(items_.front());
        items_.pop_front();
        someReady_.store(!items_.empty(), std::memory_order_relaxed);
        return item;
    }

    void close() {
        {
            const std::lock_guard lock(mutex_);
            closed_ = true;
            someReady_.store(true, std::memory_order_release);
        }
        ready_.notify_all();
    }

private:
    // The other thread mostly hands an item over within microseconds, and
    // waking a thread that went to sleep takes longer than that (most of
    // all on a virtual machine), so a pop spins for a while before it
    // sleeps.
    void awaitBriefly() const {
        const auto until = std::chrono::steady_clock::now() + std::chrono::microseconds(200);
        while (!someReady_.load(std::memory_order_acquire) && std::chrono::steady_clock::now() < until) {
#if defined(__x86_64__) || defined(__i386__)
            __builtin_ia32_pause();
#endif
        }
    }

    std::mutex mutex_;
    std::condition_variable ready_;
    std::deque<T> items_;
    bool closed_ = false;
    std::atomic<bool> someReady_ = false;  // a hint: items_ or closed_ may be worth a look
};

}  // namespace datmos
