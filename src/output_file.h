// A data file that appears at its path whole or not at all.
//
// It is written to a temporary file in the target's directory (unnamed
// where the file system allows, so that even a killed process leaves
// nothing behind) and renamed over the target on commit. Where no
// temporary file can be made but the target itself can be opened, it is
// written in place, as a plain open for writing would.
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

    // Closes the file and puts it in place of the target: 0, or the errno
    // of the step that failed, in which case the target is left as it was.
    int commit();

private:
    enum class Mode { Unnamed, Named, InPlace };
    OutputFile(Mode mode, int fd, std::string target, std::string temporary);
    // Where no temporary file can be made: the existing file (fd existing,
    // or -1 for none) emptied, or a new one created, as a plain open would.
    static std::variant<OutputFile, int> openInPlace(int existing, std::string target);
    void discard();

    Mode mode_;
    int fd_;
    std::string target_;
    std::string temporary_;  // the named temporary file, in Named mode
};

}  // namespace datmos
