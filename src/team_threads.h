// The threads of a team, started one at a time as the work grows. Each
// gets a small stack, so that a team fits where address space is limited;
// where the system refuses a thread, no more are started and the team
// makes do with those it has.
#pragma once

#include <cstddef>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace datmos {

class TeamThreads {
public:
    // At most `most` threads.
    explicit TeamThreads(std::size_t most);
    ~TeamThreads() { joinAll(); }
    TeamThreads(const TeamThreads&) = delete;
    TeamThreads& operator=(const TeamThreads&) = delete;

    // Starts a thread that runs `body`, from which no exception may escape;
    // false where `most` run already or the system refuses one.
    bool start(const std::function<void()>& body);
    // Whether `most` threads run already (or none may start any more).
    bool full() const;
    // Waits for every thread started to end.
    void joinAll();

private:
    mutable std::mutex mutex_;
    std::vector<std::thread> threads_;
    std::size_t most_;
};

}  // namespace datmos
