// A library preloaded into the converter (linked with the shared
// runtimes) that fails one call, as told by DATMOS_FAIL:
//   "malloc:N"  the Nth call of malloc fails (ENOMEM), counted from the
//               moment the run sets up standard output, so that the
//               runtimes' own start is left alone (a run that never
//               makes that call says so on standard error at its exit);
//   "lseek"     every lseek fails (EIO).
// The program, built with 64-bit file offsets, calls lseek64.
#undef _FILE_OFFSET_BITS
#include <dlfcn.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

extern "C" void* __libc_malloc(std::size_t size);

namespace {

long failingMalloc = -1;  // the call that fails, once counting
long mallocCalls = 0;
bool counting = false;
bool failingSeek = false;

__attribute__((constructor)) void readWhatFails() {
    const char* what = std::getenv("DATMOS_FAIL");
    if (what == nullptr) return;
    if (std::strncmp(what, "malloc:", 7) == 0) failingMalloc = std::strtol(what + 7, nullptr, 10);
    failingSeek = std::strcmp(what, "lseek") == 0;
}

// A run that never made the call that was to fail says so, so that a test
// that fails each call in turn knows when it has tried them all.
__attribute__((destructor)) void reportUnreached() {
    if (failingMalloc > 0 && mallocCalls < failingMalloc) {
        static constexpr char kUnreached[] = "DATMOS_FAIL: not reached\n";
        if (::write(STDERR_FILENO, kUnreached, sizeof kUnreached - 1) < 0) { /* nothing to be done */ }
    }
}

template <typename Function>
Function next(const char* name) {
    return reinterpret_cast<Function>(::dlsym(RTLD_NEXT, name));
}

}  // namespace

extern "C" {

void* malloc(std::size_t size) {
    if (counting && ++mallocCalls == failingMalloc) {
        errno = ENOMEM;
        return nullptr;
    }
    return __libc_malloc(size);
}

int setvbuf(FILE* stream, char* buffer, int mode, std::size_t size) {
    static const auto real = next<int (*)(FILE*, char*, int, std::size_t)>("setvbuf");
    counting = true;
    return real(stream, buffer, mode, size);
}

off64_t lseek64(int fd, off64_t offset, int whence) {
    if (failingSeek) {
        errno = EIO;
        return -1;
    }
    static const auto real = next<off64_t (*)(int, off64_t, int)>("lseek64");
    return real(fd, offset, whence);
}

}  // extern "C"
