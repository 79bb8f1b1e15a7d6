// A pipe that wakes a thread waiting in poll(2) for input from a pipe or
// terminal: its reading end is polled beside the input, and ring() makes
// it readable once the conversion ends early.
#pragma once

namespace datmos {

class Wakeup {
public:
    // Without a pipe (none was wanted, or none could be made), ring() does
    // nothing.
    explicit Wakeup(bool wanted);
    ~Wakeup();
    Wakeup(const Wakeup&) = delete;
    Wakeup& operator=(const Wakeup&) = delete;

    bool made() const { return ends_[0] >= 0; }
    int fd() const { return ends_[0]; }
    void ring();

private:
    int ends_[2] = {-1, -1};
};

}  // namespace datmos
