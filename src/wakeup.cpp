#include "wakeup.h"

#include <fcntl.h>
#include <unistd.h>

namespace datmos {

Wakeup::Wakeup(bool wanted) {
    if (wanted && ::pipe2(ends_, O_CLOEXEC) != 0) ends_[0] = ends_[1] = -1;
}

Wakeup::~Wakeup() {
    if (!made()) return;
    ::close(ends_[0]);
    ::close(ends_[1]);
}

void Wakeup::ring() {
    if (!made()) return;
    const char byte = 0;
    // A full pipe already wakes the waiting thread: nothing to do if this fails.
    if (::write(ends_[1], &byte, 1) < 0) return;
}

}  // namespace datmos
