// Hands batches of relations from the thread that reads the relation list
// to the thread that writes the data file, through a fixed set of batches
// that cycle between the two, so memory stays bounded.
#pragma once

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
        }
        ready_.notify_one();
    }

    // The next item, or nothing once the channel is closed.
    std::optional<T> pop() {
        std::unique_lock lock(mutex_);
        ready_.wait(lock, [this] { return closed_ || !items_.empty(); });
        if (closed_) return std::nullopt;
        T item = std::move(items_.front());
        items_.pop_front();
        return item;
    }

    void close() {
        {
            const std::lock_guard lock(mutex_);
            closed_ = true;
        }
        ready_.notify_all();
    }

private:
    std::mutex mutex_;
    std::condition_variable ready_;
    std::deque<T> items_;
    bool closed_ = false;
};

}  // namespace datmos
