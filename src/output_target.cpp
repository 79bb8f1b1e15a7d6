#include "output_target.h"

#include <cerrno>
#include <climits>
#include <cstdint>
#include <ctime>
#include <fcntl.h>
#include <random>
#include <sys/random.h>
#include <string_view>
#include <unistd.h>
#include <utility>

// An earlier data file may be over 2 GiB: fstat must describe it.
static_assert(sizeof(off_t) == 8, "off_t must be 64 bits: build with _FILE_OFFSET_BITS=64");

namespace datmos {
namespace {

// The most symbolic links followed to the target: as many as Linux follows
// in one path lookup. A plain open has already found a loop or a longer
// chain where the target exists; this finds one where it does not.
constexpr int kMostLinkHops = 40;

// A hidden name beside the target is ".", the target's name (at most
// kMostBaseBytes of it), "." and kRandomLetters letters: well within the
// longest file name, NAME_MAX, however long the target's name and path.
constexpr std::size_t kMostBaseBytes = 200;
constexpr std::size_t kRandomLetters = 6;
constexpr std::string_view kNameLetters = "abcdefghijklmnopqrstuvwxyz0123456789";
static_assert(1 + kMostBaseBytes + 1 + kRandomLetters <= NAME_MAX, "a hidden name must be a valid file name");

// How often another hidden name is drawn when the one drawn is taken. One
// of 36^6 (over 2 * 10^9) names is taken by chance only in a directory
// full of them: after this many, making the file fails.
constexpr int kMostNameAttempts = 100;

std::string directoryOf(const std::string& path) {
    const auto slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

// Follows symbolic links to where a plain open would write: the path, or
// ELOOP where more links follow than such an open follows.
std::variant<std::string, int> followLinks(std::string path) {
    for (int hop = 0; hop <= kMostLinkHops; ++hop) {
        struct stat status{};
        if (::lstat(path.c_str(), &status) != 0 || !S_ISLNK(status.st_mode)) return path;
        if (hop == kMostLinkHops) break;
        // Some links report no size: they get room for the longest path.
        std::string target(static_cast<std::size_t>(status.st_size > 0 ? status.st_size : PATH_MAX) + 1, '\0');
        const ssize_t length = ::readlink(path.c_str(), target.data(), target.size());
        if (length <= 0 || static_cast<std::size_t>(length) >= target.size()) return path;
        target.resize(static_cast<std::size_t>(length));
        if (target.front() == '/') {
            path = std::move(target);
        } else {
            path = directoryOf(path).append(target);
        }
    }
    return ELOOP;
}

// A seed that differs from run to run: from the kernel's random source,
// else from the clock and the process. (std::random_device would probe the
// processor first, which costs more than the rest of a small conversion
// where the processor is virtual.)
std::uint64_t freshSeed() {
    std::uint64_t seed = 0;
    if (::getrandom(&seed, sizeof seed, GRND_NONBLOCK) == static_cast<ssize_t>(sizeof seed)) return seed;
    struct timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    return static_cast<std::uint64_t>(now.tv_nsec) ^ (static_cast<std::uint64_t>(now.tv_sec) << 20) ^
           (static_cast<std::uint64_t>(::getpid()) << 40);
}

// A hidden name for a file beside `name`, such as ".g.txt.datmos.k3x9qa".
std::string hiddenNameBeside(const std::string& name) {
    static std::mt19937_64 random{freshSeed()};
    std::string hidden = "." + name.substr(0, kMostBaseBytes) + ".";
    for (std::size_t i = 0; i < kRandomLetters; ++i) hidden += kNameLetters[random() % kNameLetters.size()];
    return hidden;
}

mode_t newFileMode() {
    const mode_t mask = ::umask(0);
    ::umask(mask);
    return 0666 & ~mask;
}

}  // namespace

std::variant<ExistingFile, int> probeTarget(const std::string& path) {
    ExistingFile existing;
    existing.fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC | O_NOCTTY);
    if (existing.fd < 0) {
        if (errno != ENOENT) return errno;
        return existing;  // nothing there yet
    }
    if (::fstat(existing.fd, &existing.status) != 0) {
        // Nothing is known of the file then, not even whether it is regular:
        // writing it in place could spoil an earlier data file.
        const int error = errno;
        ::close(existing.fd);
        return error;
    }
    return existing;
}

std::variant<TargetDirectory, int> openTargetDirectory(const std::string& path) {
    auto followed = followLinks(path);
    if (const int* error = std::get_if<int>(&followed)) return *error;
    const std::string& target = std::get<std::string>(followed);
    const std::string directoryPath = directoryOf(target);
    TargetDirectory directory{-1, target.substr(directoryPath.size())};
    if (directory.name.empty()) return EISDIR;
    directory.fd = ::open(directoryPath.empty() ? "." : directoryPath.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (directory.fd < 0) return errno;
    return directory;
}

TemporaryFile makeTemporary(int directory, const std::string& name, bool unnamedFirst, mode_t unnamedMode) {
    // An unnamed file is given its name through /proc at the end; without
    // /proc (a bare chroot) a named temporary file is used from the start.
    if (unnamedFirst && ::access("/proc/self/fd", X_OK) == 0) {
        const int fd = ::openat(directory, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, unnamedMode);
        if (fd >= 0) return {fd, {}};
    }
    TemporaryFile named;
    for (int attempt = 0; attempt < kMostNameAttempts; ++attempt) {
        named.name = hiddenNameBeside(name);
        named.fd = ::openat(directory, named.name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY, 0600);
        if (named.fd >= 0) return named;
        named.error = errno;
        if (named.error != EEXIST) break;
    }
    return named;
}

int linkUnnamed(int fd, int directory, const std::string& name) {
    const std::string procPath = "/proc/self/fd/" + std::to_string(fd);
    if (::linkat(AT_FDCWD, procPath.c_str(), directory, name.c_str(), AT_SYMLINK_FOLLOW) == 0) return 0;
    if (errno == EEXIST) return EEXIST;
    if (::linkat(fd, "", directory, name.c_str(), AT_EMPTY_PATH) == 0) return 0;
    return errno;
}

int nameUnnamed(int fd, int directory, const std::string& name, std::string& hidden) {
    int error = 0;
    for (int attempt = 0; attempt < kMostNameAttempts; ++attempt) {
        hidden = hiddenNameBeside(name);
        error = linkUnnamed(fd, directory, hidden);
        if (error != EEXIST) break;
    }
    return error;
}

bool refusesNewFiles(int error) { return error == EACCES || error == EPERM || error == EROFS; }

bool copyOwnerAndMode(const TemporaryFile& temporary, const ExistingFile& existing) {
    const int fd = temporary.fd;
    if (!existing.found()) {
        if (!temporary.name.empty()) ::fchmod(fd, newFileMode());
        return true;
    }
    struct stat made{};
    if (::fstat(fd, &made) != 0) return false;
    if ((made.st_uid != existing.status.st_uid || made.st_gid != existing.status.st_gid) &&
        ::fchown(fd, existing.status.st_uid, existing.status.st_gid) != 0) {
        return false;
    }
    ::fchmod(fd, existing.status.st_mode & 07777);
    return true;
}

void dropTemporary(int directory, const TemporaryFile& temporary) {
    ::close(temporary.fd);
    if (!temporary.name.empty()) ::unlinkat(directory, temporary.name.c_str(), 0);
}

}  // namespace datmos
