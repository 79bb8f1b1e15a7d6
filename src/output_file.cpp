#include "output_file.h"

#include <atomic>
#include <cerrno>
#include <climits>
#include <csignal>
#include <fcntl.h>
#include <random>
#include <string_view>
#include <sys/stat.h>
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

// The named temporary file to remove if the process is interrupted: the
// c_str() of the temporary_ of the one OutputFile in Named mode, or null,
// in the directory pendingDirectory. The program has one data file open
// at a time, so one pointer serves.
//
// The handler may read the name at any moment, so the pointer must always
// lead to a whole name in live memory. It does because:
// - guardTemporary re-points it whenever the name moves to another object
//   (the move constructor) or is given (commit), after the string is set;
// - the string is not changed while it is guarded, and unguardTemporary
//   clears the pointer before the string is destroyed (a signal between
//   the rename or removal of the file and the clearing unlinks a name that
//   is gone, which does nothing);
// - between a move of the string and the re-pointing, the old pointer
//   still leads into live memory: a long name's heap buffer is handed over
//   by the move, and a short name stays in the moved-from object, which
//   lives until the move constructor returns (at worst emptied: unlinking
//   "" does nothing).
std::atomic<const char*> pendingTemporary{nullptr};
std::atomic<int> pendingDirectory{AT_FDCWD};
static_assert(std::atomic<const char*>::is_always_lock_free && std::atomic<int>::is_always_lock_free,
              "a signal handler may only use lock-free atomics");

extern "C" void removeTemporaryAndStop(int signalNumber) {
    if (const char* name = pendingTemporary.load()) ::unlinkat(pendingDirectory.load(), name, 0);
    ::signal(signalNumber, SIG_DFL);
    ::raise(signalNumber);
}

void guardTemporary(int directory, const std::string& name) {
    static const bool installed = [] {
        struct sigaction action{};
        action.sa_handler = removeTemporaryAndStop;
        sigemptyset(&action.sa_mask);
        for (const int signalNumber : {SIGINT, SIGTERM, SIGHUP}) ::sigaction(signalNumber, &action, nullptr);
        return true;
    }();
    (void)installed;
    pendingDirectory.store(directory);
    pendingTemporary.store(name.c_str());
}

void unguardTemporary() { pendingTemporary.store(nullptr); }

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

// A hidden name for a file beside `name`, such as ".g.txt.datmos.k3x9qa".
std::string hiddenNameBeside(const std::string& name) {
    static std::mt19937_64 random{std::random_device{}()};
    std::string hidden = "." + name.substr(0, kMostBaseBytes) + ".";
    for (std::size_t i = 0; i < kRandomLetters; ++i) hidden += kNameLetters[random() % kNameLetters.size()];
    return hidden;
}

// What a plain open for writing finds at the path: an existing file,
// opened without truncating it, and its status; or nothing (fd < 0).
struct ExistingFile {
    int fd = -1;
    struct stat status{};

    bool found() const { return fd >= 0; }
    bool regular() const { return S_ISREG(status.st_mode); }
};

// Opens the path the way a plain open for writing would, links and all,
// without truncating it: what is found there, or the errno of why such an
// open fails, or of why an existing file can't be examined.
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

// A file beside the target to write instead of it: unnamed (no name) or
// named; fd < 0 when neither can be made there, for the reason `error`.
struct TemporaryFile {
    int fd = -1;
    std::string name;
    int error = 0;
};

// Whether a temporary file can't be made because the directory refuses new
// files, which no retry changes: then the target is written in place. Any
// other reason (out of descriptors, inodes, disk space or memory) may pass,
// and writing in place would risk the earlier data file for it.
bool refusesNewFiles(int error) { return error == EACCES || error == EPERM || error == EROFS; }

TemporaryFile makeTemporary(int directory, const std::string& name, OutputFile::Temporary first) {
    // An unnamed file is given its name through /proc at the end; without
    // /proc (a bare chroot) a named temporary file is used from the start.
    if (first == OutputFile::Temporary::UnnamedFirst && ::access("/proc/self/fd", X_OK) == 0) {
        const int fd = ::openat(directory, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600);
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

mode_t newFileMode() {
    const mode_t mask = ::umask(0);
    ::umask(mask);
    return 0666 & ~mask;
}

// Gives the file that replaces an existing one its owner and group, then
// its permission bits (a change of owner may clear some); a file where
// there was none gets the permission bits that a plain open would create
// it with. False where the owner or group can't be given: a rename would
// then hand the data file to another owner.
bool copyOwnerAndMode(int fd, const ExistingFile& existing) {
    if (!existing.found()) {
        ::fchmod(fd, newFileMode());
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

// Empties the file of that name, whose descriptor is gone.
void emptyByName(int directory, const std::string& name) {
    const int fd = ::openat(directory, name.c_str(), O_WRONLY | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) return;  // nothing more to be done
    if (::ftruncate(fd, 0) != 0) { /* nothing more to be done */ }
    ::close(fd);
}

// Drops a temporary file that is not used after all.
void dropTemporary(int directory, const TemporaryFile& temporary) {
    ::close(temporary.fd);
    if (!temporary.name.empty()) ::unlinkat(directory, temporary.name.c_str(), 0);
}

}  // namespace

OutputFile::OutputFile(Mode mode, int fd, int directory, std::string name, std::string temporary)
    : mode_(mode), fd_(fd), directory_(directory), name_(std::move(name)), temporary_(std::move(temporary)) {
    if (mode_ == Mode::Named) guardTemporary(directory_, temporary_);
}

OutputFile::OutputFile(OutputFile&& other) noexcept
    : mode_(other.mode_),
      fd_(std::exchange(other.fd_, -1)),
      directory_(std::exchange(other.directory_, -1)),
      name_(std::move(other.name_)),
      temporary_(std::move(other.temporary_)),
      emptied_(other.emptied_) {
    if (mode_ == Mode::Named && fd_ >= 0) guardTemporary(directory_, temporary_);
}

OutputFile::~OutputFile() {
    discard();
    if (directory_ >= 0) ::close(directory_);
}

std::variant<OutputFile, int> OutputFile::open(const std::string& path, Temporary first) {
    auto probed = probeTarget(path);
    if (const int* error = std::get_if<int>(&probed)) return *error;
    const ExistingFile& existing = std::get<ExistingFile>(probed);
    if (existing.found() && !existing.regular()) {
        return OutputFile(Mode::Device, existing.fd, -1, {}, {});
    }
    auto followed = followLinks(path);
    if (const int* error = std::get_if<int>(&followed)) {
        if (existing.found()) ::close(existing.fd);
        return *error;
    }
    const std::string& target = std::get<std::string>(followed);
    const std::string directoryPath = directoryOf(target);
    std::string name = target.substr(directoryPath.size());
    const int directory = name.empty() ? -1 : ::open(directoryPath.empty() ? "." : directoryPath.c_str(),
                                                     O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (directory < 0) {
        const int error = name.empty() ? EISDIR : errno;
        if (existing.found()) ::close(existing.fd);
        return error;
    }
    // A rename would split a file of several links: its other names would
    // keep the earlier content.
    if (existing.found() && existing.status.st_nlink > 1) {
        return OutputFile(Mode::InPlace, existing.fd, directory, std::move(name), {});
    }
    TemporaryFile temporary = makeTemporary(directory, name, first);
    if (temporary.fd < 0 && refusesNewFiles(temporary.error)) {
        if (existing.found()) return OutputFile(Mode::InPlace, existing.fd, directory, std::move(name), {});
        // Only a file made here is removed again: one that appeared
        // meanwhile is not ours.
        const int fd = ::openat(directory, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY, 0666);
        if (fd < 0) {
            const int error = errno;
            ::close(directory);
            return error;
        }
        return OutputFile(Mode::Created, fd, directory, std::move(name), {});
    }
    if (temporary.fd < 0) {
        if (existing.found()) ::close(existing.fd);
        ::close(directory);
        return temporary.error;
    }
    if (!copyOwnerAndMode(temporary.fd, existing)) {
        dropTemporary(directory, temporary);
        return OutputFile(Mode::InPlace, existing.fd, directory, std::move(name), {});
    }
    if (existing.found()) ::close(existing.fd);
    const Mode mode = temporary.name.empty() ? Mode::Unnamed : Mode::Named;
    return OutputFile(mode, temporary.fd, directory, std::move(name), std::move(temporary.name));
}

void OutputFile::prepare(ByteOutput& output, List list) {
    if (mode_ != Mode::InPlace) return;
    output.holdUpTo(list == List::Unchecked ? kMostHeldInPlace : 0, [this] { return empty(); });
}

int OutputFile::empty() {
    if (mode_ != Mode::InPlace) return 0;
    if (::ftruncate(fd_, 0) != 0) return errno;  // then it holds what it held
    emptied_ = true;
    return 0;
}

int OutputFile::commit() {
    int error = 0;
    if (mode_ == Mode::Unnamed) {
        // Give the unnamed file a hidden name, then rename it over the target.
        const std::string procPath = "/proc/self/fd/" + std::to_string(fd_);
        for (int attempt = 0; attempt < kMostNameAttempts; ++attempt) {
            temporary_ = hiddenNameBeside(name_);
            if (::linkat(AT_FDCWD, procPath.c_str(), directory_, temporary_.c_str(), AT_SYMLINK_FOLLOW) == 0 ||
                ::linkat(fd_, "", directory_, temporary_.c_str(), AT_EMPTY_PATH) == 0) {
                error = 0;
                break;
            }
            error = errno;
            if (error != EEXIST) break;
        }
        if (error != 0) return error;  // the destructor drops the unnamed file
        mode_ = Mode::Named;
        guardTemporary(directory_, temporary_);
    }
    if (::close(std::exchange(fd_, -1)) != 0) error = errno;
    // A file written in place that may not hold what was written is
    // emptied, or removed where the run made it, as after any failure.
    if (error != 0 && mode_ == Mode::InPlace) emptyByName(directory_, name_);
    if (error != 0 && mode_ == Mode::Created) ::unlinkat(directory_, name_.c_str(), 0);
    if (mode_ == Mode::Named) {
        if (error == 0 && ::renameat(directory_, temporary_.c_str(), directory_, name_.c_str()) != 0) error = errno;
        if (error != 0) ::unlinkat(directory_, temporary_.c_str(), 0);
        unguardTemporary();
    }
    return error;
}

void OutputFile::discard() {
    if (fd_ < 0) return;
    // An emptied file keeps none of what was written, nor its disk space.
    if (mode_ == Mode::InPlace && emptied_ && ::ftruncate(fd_, 0) != 0) { /* nothing more to be done */ }
    ::close(std::exchange(fd_, -1));
    if (mode_ == Mode::Created) ::unlinkat(directory_, name_.c_str(), 0);
    if (mode_ == Mode::Named) {
        ::unlinkat(directory_, temporary_.c_str(), 0);
        unguardTemporary();
    }
}

}  // namespace datmos
