#include "team_threads.h"

#include <exception>
#include <pthread.h>

namespace datmos {
namespace {

// A member of a team needs little stack: 1 MiB of address space rather
// than the usual default of 8 MiB.
constexpr std::size_t kThreadStack = std::size_t{1} << 20;

void useSmallStacks() {
#if defined(__GLIBC__)
    static const bool set = [] {
        pthread_attr_t attributes;
        if (::pthread_attr_init(&attributes) != 0) return false;
        const bool done = ::pthread_attr_setstacksize(&attributes, kThreadStack) == 0 &&
                          ::pthread_setattr_default_np(&attributes) == 0;
        ::pthread_attr_destroy(&attributes);
        return done;
    }();
    static_cast<void>(set);
#endif
}

}  // namespace

TeamThreads::TeamThreads(std::size_t most) : most_(most) {
    threads_.reserve(most_);
    useSmallStacks();
}

bool TeamThreads::start(const std::function<void()>& body) {
    const std::lock_guard lock(mutex_);
    if (threads_.size() >= most_) return false;
    try {
        threads_.emplace_back(body);
        return true;
    } catch (const std::exception&) {  // std::system_error, or std::bad_alloc for its state
        most_ = threads_.size();
        return false;
    }
}

bool TeamThreads::full() const {
    const std::lock_guard lock(mutex_);
    return threads_.size() >= most_;
}

void TeamThreads::joinAll() {
    std::vector<std::thread> threads;
    {
        const std::lock_guard lock(mutex_);
        threads.swap(threads_);
        most_ = 0;  // none start after the team has ended
    }
    for (std::thread& thread : threads) thread.join();
}

}  // namespace datmos
