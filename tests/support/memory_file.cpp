#include "memory_file.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <stdexcept>
#include <sys/mman.h>
#include <termios.h>
#include <unistd.h>

namespace datmos::test {
namespace {

[[noreturn]] void fail(const char* what) { throw std::runtime_error(std::string(what) + ": " + std::strerror(errno)); }

// The default capacity of a pipe.
constexpr std::size_t kPipeBytes = 65536;

void writeAll(int fd, std::string_view content) {
    while (!content.empty()) {
        const ssize_t wrote = ::write(fd, content.data(), content.size());
        if (wrote <= 0) fail("write");
        content.remove_prefix(static_cast<std::size_t>(wrote));
    }
}

}  // namespace

int emptyMemoryFile() {
    const int fd = ::memfd_create("datmos-test", MFD_CLOEXEC);
    if (fd < 0) fail("memfd_create");
    return fd;
}

int memoryFileWith(std::string_view content) {
    const int fd = emptyMemoryFile();
    replaceContents(fd, content);
    return fd;
}

void replaceContents(int fd, std::string_view content) {
    if (::ftruncate(fd, 0) != 0 || ::lseek(fd, 0, SEEK_SET) != 0) fail("ftruncate");
    writeAll(fd, content);
    if (::lseek(fd, 0, SEEK_SET) != 0) fail("lseek");
}

std::string contentOf(int fd) {
    std::string content;
    char block[65536];
    for (off_t offset = 0;;) {
        const ssize_t got = ::pread(fd, block, sizeof block, offset);
        if (got < 0) fail("pread");
        if (got == 0) return content;
        content.append(block, static_cast<std::size_t>(got));
        offset += got;
    }
}

int terminalFailingAfter(std::string_view content) {
    const int reading = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    char name[64];
    if (reading < 0 || ::grantpt(reading) != 0 || ::unlockpt(reading) != 0 ||
        ::ptsname_r(reading, name, sizeof name) != 0) {
        fail("posix_openpt");
    }
    // The other end, raw: the bytes pass unchanged. Not blocking, so that
    // content the terminal can't hold is an error rather than a wait.
    const int writing = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
    termios mode{};
    if (writing < 0 || ::tcgetattr(writing, &mode) != 0) fail("open the terminal");
    ::cfmakeraw(&mode);
    if (::tcsetattr(writing, TCSANOW, &mode) != 0) fail("tcsetattr");
    writeAll(writing, content);
    ::close(writing);
    return reading;
}

int pipeWith(std::string_view content) {
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0) fail("pipe2");
    if (content.size() > kPipeBytes && ::fcntl(ends[1], F_SETPIPE_SZ, static_cast<int>(content.size())) < 0) {
        fail("cannot make a pipe hold the content");
    }
    writeAll(ends[1], content);
    ::close(ends[1]);
    return ends[0];
}

}  // namespace datmos::test
