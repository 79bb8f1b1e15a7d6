#include "test_files.h"

#include <stdexcept>
#include <sys/mman.h>
#include <unistd.h>

namespace datmos::test {

int emptyMemoryFile() {
    const int fd = ::memfd_create("datmos-test", MFD_CLOEXEC);
    if (fd < 0) throw std::runtime_error("memfd_create failed");
    return fd;
}

int memoryFileWith(std::string_view content) {
    const int fd = emptyMemoryFile();
    std::size_t done = 0;
    while (done < content.size()) {
        const ssize_t wrote = ::write(fd, content.data() + done, content.size() - done);
        if (wrote <= 0) throw std::runtime_error("write to memory file failed");
        done += static_cast<std::size_t>(wrote);
    }
    ::lseek(fd, 0, SEEK_SET);
    return fd;
}

std::string contentOf(int fd) {
    std::string content;
    char block[65536];
    for (off_t offset = 0;;) {
        const ssize_t got = ::pread(fd, block, sizeof block, offset);
        if (got <= 0) return content;
        content.append(block, static_cast<std::size_t>(got));
        offset += got;
    }
}

}  // namespace datmos::test
