// A data file that appears at its path whole or not at all.
//
// It is written to a temporary file in the target's directory (unnamed
// where the file system allows, so that even a killed process leaves
// nothing behind) and renamed over the target on commit. Where the
// directory refuses new files but the target itself can be opened, it is
// written in place: the earlier file is kept until the caller empties it,
// and emptied again if the run then fails. Where the temporary file can't
// be made for want of a resource (descriptors, inodes, disk space, memory),
// the open fails and the earlier file stays as it was.
#pragma once

#include <string>
#include <variant>

namespace datmos {

class OutputFile {
public:
    // Which temporary file to try first: an unnamed one, or straight away
    // the named one that serves where unnamed files are not supported.
    enum class Temporary { UnnamedFirst, Named };

    // Opens a way to write `path` wherever a plain open for writing would
    // succeed (a symbolic link is followed to its target), or gives the
    // errno of why such an open fails, or why an existing file there can't
    // be examined. Nothing at `path` changes yet.
    static std::variant<OutputFile, int> open(const std::string& path, Temporary first = Temporary::UnnamedFirst);

    OutputFile(OutputFile&& other) noexcept;
    OutputFile& operator=(OutputFile&&) = delete;
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;
    // Without a commit, whatever was written is dropped.
    ~OutputFile();

    int fd() const { return fd_; }

    // Whether the earlier data file itself is written. It stays as it was
    // until empty() is called, which the caller does only once nothing but
    // the writes can fail; if no commit follows, it is left empty.
    bool inPlace() const { return mode_ == Mode::InPlace; }
    // Empties the earlier data file written in place (does nothing in the
    // other cases): 0, or the errno of the truncation.
    int empty();

    // Closes the file and puts it in place of the target: 0, or the errno
    // of the step that failed, in which case the target is left as it was.
    int commit();

private:
    // Device: a device or pipe at the target, written as it is. Created: a
    // file made at the target where there was none and no temporary file
    // could be made, removed unless committed.
    enum class Mode { Unnamed, Named, InPlace, Device, Created };
    OutputFile(Mode mode, int fd, std::string target, std::string temporary);
    // Where the directory refuses new files: the existing file (fd
    // existing, or -1 for none), or a new one created where a plain open
    // would create it.
    static std::variant<OutputFile, int> openInPlace(int existing, std::string target);
    void discard();

    Mode mode_;
    int fd_;
    std::string target_;
    std::string temporary_;  // the named temporary file, in Named mode
    bool emptied_ = false;   // in InPlace mode
};

}  // namespace datmos
