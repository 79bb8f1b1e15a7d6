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
// in one path lookup, so that a loop is found where a plain open finds it
// (the probe of the target then fails with ELOOP).
constexpr int kMostLinkHops = 40;

// A hidden name beside the target is ".", the target's base name (at most
// kMostBaseBytes of it), ".", kRandomLetters letters, and for a temporary
// file made under that name, the placeholder that mkostemp fills in: well
// within the longest file name, NAME_MAX.
constexpr std::size_t kMostBaseBytes = 200;
constexpr std::size_t kRandomLetters = 6;
constexpr std::string_view kNameLetters = "abcdefghijklmnopqrstuvwxyz0123456789";
constexpr std::string_view kUniquePlaceholder = "XXXXXX";
static_assert(1 + kMostBaseBytes + 1 + kRandomLetters + kUniquePlaceholder.size() <= NAME_MAX,
              "a hidden name must be a valid file name");

// How often an unnamed file is offered another hidden name when the one
// drawn is taken. One of 36^6 (over 2 * 10^9) names is taken by chance
// only in a directory full of them: after this many, the link fails.
constexpr int kMostNameAttempts = 100;

// The named temporary file to remove if the process is interrupted: the
// c_str() of the temporary_ of the one OutputFile in Named mode, or null.
// The program has one data file open at a time, so one pointer serves.
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
//   lives until the move constructor returns (at worst emptied: unlink("")
//   does nothing).
std::atomic<const char*> pendingTemporary{nullptr};
static_assert(std::atomic<const char*>::is_always_lock_free, "a signal handler may only use lock-free atomics");

extern "C" void removeTemporaryAndStop(int signalNumber) {
    if (const char* path = pendingTemporary.load()) ::unlink(path);
    ::signal(signalNumber, SIG_DFL);
    ::raise(signalNumber);
}

void guardTemporary(const std::string& path) {
    static const bool installed = [] {
        struct sigaction action{};
        action.sa_handler = removeTemporaryAndStop;
        sigemptyset(&action.sa_mask);
        for (const int signalNumber : {SIGINT, SIGTERM, SIGHUP}) ::sigaction(signalNumber, &action, nullptr);
        return true;
    }();
    (void)installed;
    pendingTemporary.store(path.c_str());
}

void unguardTemporary() { pendingTemporary.store(nullptr); }

std::string directoryOf(const std::string& path) {
    const auto slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

// Follows symbolic links to the file that a plain open would write.
std::string followLinks(std::string path) {
    for (int hop = 0; hop < kMostLinkHops; ++hop) {
        struct stat status{};
        if (::lstat(path.c_str(), &status) != 0 || !S_ISLNK(status.st_mode)) return path;
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
    return path;
}

// A hidden name beside the target, such as "dir/.g.txt.datmos.k3x9qa".
std::string hiddenNameBeside(const std::string& target) {
    static std::mt19937_64 random{std::random_device{}()};
    const std::string directory = directoryOf(target);
    std::string base = target.substr(directory.size());
    if (base.size() > kMostBaseBytes) base.resize(kMostBaseBytes);
    std::string name = directory + "." + base + ".";
    for (std::size_t i = 0; i < kRandomLetters; ++i) name += kNameLetters[random() % kNameLetters.size()];
    return name;
}

// What a plain open for writing finds at the target: an existing file,
// opened without truncating it, and its status; or nothing (fd < 0).
struct ExistingFile {
    int fd = -1;
    struct stat status{};

    bool found() const { return fd >= 0; }
    bool regular() const { return S_ISREG(status.st_mode); }
};

// Opens the target the way a plain open for writing would, without
// truncating it: what is found there, or the errno of why such an open
// fails, or of why an existing file can't be examined.
std::variant<ExistingFile, int> probeTarget(const std::string& target) {
    ExistingFile existing;
    existing.fd = ::open(target.c_str(), O_WRONLY | O_CLOEXEC | O_NOCTTY);
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
bool refusesNewFiles(int error) {
    return error == EACCES || error == EPERM || error == EROFS || error == ENAMETOOLONG;
}

TemporaryFile makeTemporary(const std::string& target, OutputFile::Temporary first) {
    // An unnamed file is given its name through /proc at the end; without
    // /proc (a bare chroot) a named temporary file is used from the start.
    if (first == OutputFile::Temporary::UnnamedFirst && ::access("/proc/self/fd", X_OK) == 0) {
        const std::string directory = directoryOf(target);
        const int fd = ::open(directory.empty() ? "." : directory.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600);
        if (fd >= 0) return {fd, {}};
    }
    std::string name = hiddenNameBeside(target).append(kUniquePlaceholder);
    const int fd = ::mkostemp(name.data(), O_CLOEXEC);
    return {fd, std::move(name), fd < 0 ? errno : 0};
}

mode_t newFileMode() {
    const mode_t mask = ::umask(0);
    ::umask(mask);
    return 0666 & ~mask;
}

// Gives the file that replaces an existing one its permission bits, and its
// owner where we are allowed to keep it; a file where there was none gets
// the permission bits that a plain open would create it with.
void copyModeAndOwner(int fd, const ExistingFile& existing) {
    if (!existing.found()) {
        ::fchmod(fd, newFileMode());
        return;
    }
    ::fchmod(fd, existing.status.st_mode & 07777);
    if (::fchown(fd, existing.status.st_uid, existing.status.st_gid) != 0) { /* not ours to give away */ }
}

}  // namespace

OutputFile::OutputFile(Mode mode, int fd, std::string target, std::string temporary)
    : mode_(mode), fd_(fd), target_(std::move(target)), temporary_(std::move(temporary)) {
    if (mode_ == Mode::Named) guardTemporary(temporary_);
}

OutputFile::OutputFile(OutputFile&& other) noexcept
    : mode_(other.mode_),
      fd_(std::exchange(other.fd_, -1)),
      target_(std::move(other.target_)),
      temporary_(std::move(other.temporary_)),
      emptied_(other.emptied_) {
    if (mode_ == Mode::Named && fd_ >= 0) guardTemporary(temporary_);
}

OutputFile::~OutputFile() { discard(); }

std::variant<OutputFile, int> OutputFile::open(const std::string& path, Temporary first) {
    std::string target = followLinks(path);
    auto probed = probeTarget(target);
    if (const int* error = std::get_if<int>(&probed)) return *error;
    const ExistingFile& existing = std::get<ExistingFile>(probed);
    if (existing.found() && !existing.regular()) {
        return OutputFile(Mode::Device, existing.fd, std::move(target), {});
    }
    TemporaryFile temporary = makeTemporary(target, first);
    if (temporary.fd < 0 && refusesNewFiles(temporary.error)) return openInPlace(existing.fd, std::move(target));
    if (temporary.fd < 0) {
        if (existing.found()) ::close(existing.fd);
        return temporary.error;
    }
    copyModeAndOwner(temporary.fd, existing);
    if (existing.found()) ::close(existing.fd);
    const Mode mode = temporary.name.empty() ? Mode::Unnamed : Mode::Named;
    return OutputFile(mode, temporary.fd, std::move(target), std::move(temporary.name));
}

std::variant<OutputFile, int> OutputFile::openInPlace(int existing, std::string target) {
    if (existing >= 0) return OutputFile(Mode::InPlace, existing, std::move(target), {});
    // Only a file made here is removed again: one that appeared meanwhile
    // is not ours.
    const int fd = ::open(target.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY, 0666);
    if (fd < 0) return errno;
    return OutputFile(Mode::Created, fd, std::move(target), {});
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
            temporary_ = hiddenNameBeside(target_);
            if (::linkat(AT_FDCWD, procPath.c_str(), AT_FDCWD, temporary_.c_str(), AT_SYMLINK_FOLLOW) == 0 ||
                ::linkat(fd_, "", AT_FDCWD, temporary_.c_str(), AT_EMPTY_PATH) == 0) {
                error = 0;
                break;
            }
            error = errno;
            if (error != EEXIST) break;
        }
        if (error != 0) return error;  // the destructor drops the unnamed file
        mode_ = Mode::Named;
        guardTemporary(temporary_);
    }
    if (::close(std::exchange(fd_, -1)) != 0) error = errno;
    // A file written in place that may not hold what was written is
    // emptied, or removed where the run made it, as after any failure.
    if (error != 0 && mode_ == Mode::InPlace && ::truncate(target_.c_str(), 0) != 0) { /* nothing more to be done */ }
    if (error != 0 && mode_ == Mode::Created) ::unlink(target_.c_str());
    if (mode_ == Mode::Named) {
        if (error == 0 && ::rename(temporary_.c_str(), target_.c_str()) != 0) error = errno;
        if (error != 0) ::unlink(temporary_.c_str());
        unguardTemporary();
    }
    return error;
}

void OutputFile::discard() {
    if (fd_ < 0) return;
    // An emptied file keeps none of what was written, nor its disk space.
    if (mode_ == Mode::InPlace && emptied_ && ::ftruncate(fd_, 0) != 0) { /* nothing more to be done */ }
    ::close(std::exchange(fd_, -1));
    if (mode_ == Mode::Created) ::unlink(target_.c_str());
    if (mode_ == Mode::Named) {
        ::unlink(temporary_.c_str());
        unguardTemporary();
    }
}

}  // namespace datmos
