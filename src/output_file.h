// A data file that appears at its path whole or not at all, wherever a
// plain open for writing could write it.
//
// It is written to a temporary file in the target's directory (unnamed
// where the file system allows, so that a killed process mostly leaves
// nothing behind) and renamed over the target on commit. The earlier file
// is written in place instead where a rename can't keep it: where the
// directory refuses new files, where the file has other hard links (a
// rename would split them), or where it belongs to an owner or group that
// the new file can't be given. In place, the earlier file is emptied only
// once the list is known good and everything but the writes is done (see
// prepare()), and emptied again if the run then fails. Where the temporary
// file can't be made for want of a resource (descriptors, inodes, disk
// space, memory), the open fails and the earlier file stays as it was.
//
// Every step works relative to a descriptor of the directory, with a
// temporary name of bounded length: any path that a plain open accepts
// is accepted.
#pragma once

#include <string>
#include <sys/stat.h>
#include <variant>

#include "byte_output.h"

namespace datmos {

class OutputFile {
public:
    // Which temporary file to try first: an unnamed one, or straight away
    // the named one that serves where unnamed files are not supported.
    enum class Temporary { UnnamedFirst, Named };

    // Whether the list that the data file is converted from is known good
    // before its lines reach the output: a regular file read through once
    // already, or anything read for the first time.
    enum class List { Unchecked, Checked };

    // Opens a way to write `path` wherever a plain open for writing would
    // succeed, or gives the errno of why such an open fails (ELOOP for too
    // many symbolic links, as the open gives), or why an existing file
    // there can't be examined. Nothing at `path` changes yet.
    static std::variant<OutputFile, int> open(const std::string& path, Temporary first = Temporary::UnnamedFirst);

    OutputFile(OutputFile&& other) noexcept;
    OutputFile& operator=(OutputFile&&) = delete;
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;
    // Without a commit, whatever was written is dropped: the earlier file
    // is left as it was, or, once emptied, empty.
    ~OutputFile();

    int fd() const { return fd_; }

    // Whether the earlier data file itself is written.
    bool inPlace() const { return mode_ == Mode::InPlace; }

    // Sets `output`, which writes fd(), to write this file. In place, the
    // earlier file is emptied just before the output first writes, and an
    // unchecked list's lines are held in memory until the output finishes
    // (up to kMostHeldInPlace bytes; past them the file is emptied and
    // written as they come, as a plain open would): an output that fails
    // before then, or can't have memory for what it holds, has left the
    // earlier file as it was.
    void prepare(ByteOutput& output, List list);
    static constexpr std::size_t kMostHeldInPlace = std::size_t{64} << 20;

    // Closes the file and puts it in place of the target: 0, or the errno
    // of the step that failed, in which case the target is left as it was
    // (empty, where it was written in place).
    int commit();

private:
    // Unnamed: an unnamed temporary file that replaces an earlier file;
    // UnnamedNew: one where there was none. Device: a device or pipe at the
    // target, written as it is. Created: a file made at the target where
    // there was none and no temporary file could be made, removed unless
    // committed.
    enum class Mode { Unnamed, UnnamedNew, Named, InPlace, Device, Created };
    OutputFile(Mode mode, int fd, int directory, std::string name, std::string temporary);
    // Empties the earlier data file written in place: 0, or the errno of
    // the truncation, after which it holds what it held.
    int empty();
    void discard();

    Mode mode_;
    int fd_;
    int directory_;         // the target's directory, as a descriptor
    std::string name_;      // the target's name in it
    std::string temporary_; // the named temporary file's name in it, in Named mode
    bool emptied_ = false;  // in InPlace mode
};

}  // namespace datmos
