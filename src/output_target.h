// Where a data file is to be written: what a plain open for writing finds
// at its path, the directory it ends up in (links followed), and the
// temporary file made beside it, with a hidden name of bounded length.
// OutputFile puts these together; nothing here changes the target.
#pragma once

#include <string>
#include <sys/stat.h>
#include <variant>

namespace datmos {

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
std::variant<ExistingFile, int> probeTarget(const std::string& path);

// The directory that a plain open of the path writes in, as a descriptor,
// and the name there.
struct TargetDirectory {
    int fd = -1;
    std::string name;
};

// Follows symbolic links from the path as a plain open would and opens the
// directory of where they lead: that, or the errno of why it can't be
// opened (ELOOP where more links follow than such an open follows, EISDIR
// where the path names no file in a directory).
std::variant<TargetDirectory, int> openTargetDirectory(const std::string& path);

// A file beside the target to write instead of it: unnamed (no name) or
// named; fd < 0 when neither can be made there, for the reason `error`.
struct TemporaryFile {
    int fd = -1;
    std::string name;
    int error = 0;
};

// Makes a temporary file in `directory` beside the target `name`: first an
// unnamed one where `unnamedFirst` and the file system allows, else a named
// one with a hidden name. An unnamed file is made with `unnamedMode`, which
// the umask or the directory's default ACL narrow as for any new file; a
// named one, which others could open, with the owner's bits alone.
TemporaryFile makeTemporary(int directory, const std::string& name, bool unnamedFirst, mode_t unnamedMode);

// Gives the unnamed file `fd` the name `name` in `directory`: 0, or the
// errno of why it can't be linked there (EEXIST where the name is taken).
int linkUnnamed(int fd, int directory, const std::string& name);

// Gives the unnamed file `fd` a hidden name (set in `hidden`) beside the
// target `name` in `directory`: 0, or the errno of why it can't be named.
int nameUnnamed(int fd, int directory, const std::string& name, std::string& hidden);

// Whether a temporary file can't be made because the directory refuses new
// files, which no retry changes: then the target is written in place. Any
// other reason (out of descriptors, inodes, disk space or memory) may pass,
// and writing in place would risk the earlier data file for it.
bool refusesNewFiles(int error);

// Gives the file that replaces an existing one its owner and group, then
// its permission bits (a change of owner may clear some); a named file
// where there was none gets the permission bits that a plain open would
// create it with (an unnamed one was made with them). False where the
// owner or group can't be given: a rename would then hand the data file to
// another owner.
bool copyOwnerAndMode(const TemporaryFile& temporary, const ExistingFile& existing);

// Drops a temporary file that is not used after all.
void dropTemporary(int directory, const TemporaryFile& temporary);

}  // namespace datmos
