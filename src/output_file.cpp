#include "output_file.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <random>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

// An earlier data file may be over 2 GiB: fstat must describe it.
static_assert(sizeof(off_t) == 8, "off_t must be 64 bits: build with _FILE_OFFSET_BITS=64");

namespace datmos {
namespace {

// The named temporary file to remove if the process is interrupted.
std::atomic<const char*> pendingTemporary{nullptr};

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
    for (int hop = 0; hop < 40; ++hop) {
        struct stat status{};
        if (::lstat(path.c_str(), &status) != 0 || !S_ISLNK(status.st_mode)) return path;
        std::string target(static_cast<std::size_t>(status.st_size > 0 ? status.st_size : 4096) + 1, '\0');
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
    static constexpr char kLetters[] = "abcdefghijklmnopqrstuvwxyz0123456789";
    const std::string directory = directoryOf(target);
    std::string base = target.substr(directory.size());
    if (base.size() > 200) base.resize(200);  // stay within NAME_MAX
    std::string name = directory + "." + base + ".";
    for (int i = 0; i < 6; ++i) name += kLetters[random() % 36];
    return name;
}

mode_t newFileMode() {
    const mode_t mask = ::umask(0);
    ::umask(mask);
    return 0666 & ~mask;
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
      temporary_(std::move(other.temporary_)) {
    if (mode_ == Mode::Named && fd_ >= 0) guardTemporary(temporary_);
}

OutputFile::~OutputFile() { discard(); }

std::variant<OutputFile, int> OutputFile::open(const std::string& path, Temporary first) {
    std::string target = followLinks(path);
    // Probe the target the way a plain open would, without truncating it.
    const int existing = ::open(target.c_str(), O_WRONLY | O_CLOEXEC | O_NOCTTY);
    if (existing < 0 && errno != ENOENT) return errno;
    struct stat status{};
    if (existing >= 0 && ::fstat(existing, &status) != 0) {
        // Nothing is known of the file then, not even whether it is regular:
        // writing it in place could spoil an earlier data file.
        const int error = errno;
        ::close(existing);
        return error;
    }
    if (existing >= 0 && !S_ISREG(status.st_mode)) {
        return OutputFile(Mode::InPlace, existing, std::move(target), {});  // a device or pipe
    }
    const mode_t mode = existing >= 0 ? status.st_mode & 07777 : newFileMode();

    std::string directory = directoryOf(target);
    // An unnamed file is given its name through /proc at the end; without
    // /proc (a bare chroot) a named temporary file is used from the start.
    int fd = first == Temporary::UnnamedFirst && ::access("/proc/self/fd", X_OK) == 0
                 ? ::open(directory.empty() ? "." : directory.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600)
                 : -1;
    Mode chosen = Mode::Unnamed;
    std::string temporary;
    if (fd < 0) {
        temporary = hiddenNameBeside(target) + "XXXXXX";
        fd = ::mkostemp(temporary.data(), O_CLOEXEC);
        chosen = Mode::Named;
    }
    if (fd < 0) {  // no temporary file here: write in place, as a plain open would
        if (existing >= 0) {
            if (::ftruncate(existing, 0) != 0) {
                const int error = errno;
                ::close(existing);
                return error;
            }
            return OutputFile(Mode::InPlace, existing, std::move(target), {});
        }
        fd = ::open(target.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOCTTY, 0666);
        if (fd < 0) return errno;
        return OutputFile(Mode::InPlace, fd, std::move(target), {});
    }
    ::fchmod(fd, mode);
    if (existing >= 0) {
        // A replaced data file keeps its owner where we are allowed to keep it.
        if (::fchown(fd, status.st_uid, status.st_gid) != 0) { /* not ours to give away */ }
        ::close(existing);
    }
    return OutputFile(chosen, fd, std::move(target), std::move(temporary));
}

int OutputFile::commit() {
    int error = 0;
    if (mode_ == Mode::Unnamed) {
        // Give the unnamed file a hidden name, then rename it over the target.
        const std::string procPath = "/proc/self/fd/" + std::to_string(fd_);
        for (int attempt = 0; attempt < 100; ++attempt) {
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
    if (mode_ == Mode::Named) {
        if (error == 0 && ::rename(temporary_.c_str(), target_.c_str()) != 0) error = errno;
        if (error != 0) ::unlink(temporary_.c_str());
        unguardTemporary();
    }
    return error;
}

void OutputFile::discard() {
    if (fd_ < 0) return;
    ::close(std::exchange(fd_, -1));
    if (mode_ == Mode::Named) {
        ::unlink(temporary_.c_str());
        unguardTemporary();
    }
}

}  // namespace datmos
