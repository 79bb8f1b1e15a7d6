#include "memory_file.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <stdexcept>
#include <sys/mman.h>
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

int failingReads() {
    const int fd = ::open("/", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) fail("open /");
    return fd;
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
