#include "output_file.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>
#include <utility>

#include "output_target.h"

namespace datmos {
namespace {

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

// Empties the file of that name, whose descriptor is gone.
void emptyByName(int directory, const std::string& name) {
    const int fd = ::openat(directory, name.c_str(), O_WRONLY | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) return;  // nothing more to be done
    if (::ftruncate(fd, 0) != 0) { /* nothing more to be done */ }
    ::close(fd);
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
    auto located = openTargetDirectory(path);
    if (const int* error = std::get_if<int>(&located)) {
        if (existing.found()) ::close(existing.fd);
        return *error;
    }
    const int directory = std::get<TargetDirectory>(located).fd;
    std::string name = std::move(std::get<TargetDirectory>(located).name);
    // A rename would split a file of several links: its other names would
    // keep the earlier content.
    if (existing.found() && existing.status.st_nlink > 1) {
        return OutputFile(Mode::InPlace, existing.fd, directory, std::move(name), {});
    }
    // An unnamed file that replaces nothing is made with the bits a plain
    // open gives; one that replaces a file is given that file's at once.
    TemporaryFile temporary =
        makeTemporary(directory, name, first == Temporary::UnnamedFirst, existing.found() ? 0600 : 0666);
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
    if (!copyOwnerAndMode(temporary, existing)) {
        dropTemporary(directory, temporary);
        return OutputFile(Mode::InPlace, existing.fd, directory, std::move(name), {});
    }
    const bool replaces = existing.found();
    if (replaces) ::close(existing.fd);
    const Mode mode = !temporary.name.empty() ? Mode::Named : replaces ? Mode::Unnamed : Mode::UnnamedNew;
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
    if (mode_ == Mode::UnnamedNew) {
        // Where there was no file, the whole file is linked at the target's
        // name at once; a file that appeared there meanwhile is replaced by
        // a rename, as an earlier one would be.
        error = linkUnnamed(fd_, directory_, name_);
        if (error == 0) {
            if (::close(std::exchange(fd_, -1)) == 0) return 0;
            error = errno;
            ::unlinkat(directory_, name_.c_str(), 0);
            return error;
        }
        if (error != EEXIST) return error;  // the destructor drops the unnamed file
        mode_ = Mode::Unnamed;
    }
    if (mode_ == Mode::Unnamed) {
        // Give the unnamed file a hidden name, then rename it over the target.
        error = nameUnnamed(fd_, directory_, name_, temporary_);
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
