#include "converter.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <fcntl.h>
#include <functional>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>

#include "byte_input.h"
#include "byte_output.h"
#include "data_file.h"
#include "messages.h"
#include "output_file.h"
#include "relation_list.h"
#include "relations_conversion.h"
#include "version.h"

namespace datmos {
namespace {

constexpr int kExitStatus = 1;  // the same after a success as after a failure
constexpr std::string_view kOutputSuffix = ".datmos";
// The list is read through a window of this size, or of a short file's
// size: the window is used again and again, which costs far less than new
// memory for every byte of the list (a list of 485 KB was converted in 0.70
// of the time it took when read whole).
constexpr std::size_t kWindow = std::size_t{64} << 10;
// Written in place, the data file converted from a list that can't be read
// twice is held in memory up to this size; past it, the earlier data file
// is emptied and the rest written as it comes.
constexpr std::size_t kMostHeldInPlace = std::size_t{64} << 20;
// Standard output's buffer, which no allocation can fail to give: room for
// every message of a run at once.
constexpr std::size_t kMessageRoom = 4096;
// Memory set aside for the exception that reports a failed allocation.
constexpr std::size_t kExceptionRoom = std::size_t{16} << 10;

// Where memory runs out early, the C++ runtime may have had none for its
// own reserve of exceptions either (under an address space limit, in the
// first 80 KiB above the least in which the program starts), and throwing
// std::bad_alloc would end the process. A run that can't have the room set
// aside here ends before it allocates; otherwise the room is given back
// when an allocation first fails, so that the exception can be thrown.
std::atomic<void*> exceptionRoom{nullptr};

void freeExceptionRoomAndThrow() {
    std::free(exceptionRoom.exchange(nullptr));
    std::set_new_handler(nullptr);
    throw std::bad_alloc();
}

// What ends a run early: the message that says why.
struct Failure {
    std::string message;
};
// How a run ends: nothing after a success.
using Outcome = std::optional<Failure>;

// Standard output stays buffered until the run ends, so that a run that
// is killed midway never shows "abriu" alone, which means success.
void say(std::string_view message) { std::fwrite(message.data(), 1, message.size(), stdout); }

int finish(std::string_view message) {
    say(message);
    std::fflush(stdout);
    return kExitStatus;
}

// The answer to --help or --version, after which the program succeeds.
int answer(std::string_view text) {
    say(text);
    return std::fflush(stdout) == 0 && std::ferror(stdout) == 0 ? EXIT_SUCCESS : EXIT_FAILURE;
}

struct RelationList {
    int fd = -1;
    std::size_t window = kWindow;  // of the ByteInput that reads it
};

// Opens the relation list for reading; a directory counts as unopenable.
// A short regular file gets a window of its size and one byte more, so
// that one read takes it whole and the next finds its end; a long one is
// read ahead the more.
RelationList openRelationList(const char* path) {
    const int fd = ::open(path, O_RDONLY | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) return {};
    struct stat status{};
    if (::fstat(fd, &status) != 0 || S_ISDIR(status.st_mode)) {
        ::close(fd);
        return {};
    }
    RelationList list{fd};
    if (S_ISREG(status.st_mode) && static_cast<std::uint64_t>(status.st_size) < kWindow) {
        list.window = static_cast<std::size_t>(status.st_size) + 1;
    } else if (S_ISREG(status.st_mode)) {
        ::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
    }
    return list;
}

// The message of a read error in the relations: where, and what, naming
// the weight of the relation before when the refused first person number
// is glued to it.
std::string relationsFailed(const RelationsOutcome& relations, std::int32_t relationCount) {
    const ReadError& error = *relations.readError;
    if (relations.afterList) return readFailed(error.line, afterRelations(relationCount), error.what);
    std::string what = error.what;
    if (!error.gluedTo.empty() && relations.failedRelation > 1) {
        what += rightAfterWeight(error.gluedTo, relations.failedRelation - 1);
    }
    return readFailed(error.line, relationOf(relations.failedRelation, relationCount), what);
}

// Streams the relations from input to output.
Outcome convert(ByteInput& input, ByteOutput& output, bool strict) {
    const auto header = readHeader(input);
    if (const auto* error = std::get_if<ReadError>(&header)) {
        return Failure{readFailed(error->line, "header", error->what)};
    }
    const auto [people, relationCount] = std::get<ListHeader>(header);
    const ReadRules rules = strict ? ReadRules::strictFor(people) : ReadRules{};

    writeHead(output, people);
    const RelationsOutcome relations = convertRelations(input, relationCount, output, {}, rules);
    if (output.error() != 0) return Failure{writeFailed(output.error())};
    if (relations.readError) return Failure{relationsFailed(relations, relationCount)};
    writeTail(output);
    output.finish();
    if (output.error() != 0) return Failure{writeFailed(output.error())};
    return {};
}

// Converts the list into the data file written to fd, where given after
// `beforeWriting` (see ByteOutput::holdUpTo).
Outcome convertInto(const RelationList& list, int outputFd, bool strict, std::function<int()> beforeWriting = {}) {
    ByteInput input(list.fd, list.window);
    ByteOutput output(outputFd, ByteOutput::kDefaultCapacity, ByteOutput::Reserve::Ahead);
    if (beforeWriting) output.holdUpTo(kMostHeldInPlace, std::move(beforeWriting));
    return convert(input, output, strict);
}

// Written in place, the earlier data file is emptied only once the whole
// list has been read and found well-formed: a regular file is read twice,
// first with the output going nowhere; other input (a pipe) is converted
// into memory, up to kMostHeldInPlace bytes.
Outcome convertInPlace(const RelationList& list, OutputFile& dataFile, bool strict) {
    const auto emptyDataFile = [&dataFile] { return dataFile.empty(); };
    struct stat status{};
    if (::fstat(list.fd, &status) != 0 || !S_ISREG(status.st_mode)) {
        return convertInto(list, dataFile.fd(), strict, emptyDataFile);
    }
    if (Outcome checked = convertInto(list, ByteOutput::kNowhere, strict)) return checked;
    if (::lseek(list.fd, 0, SEEK_SET) != 0) return Failure{std::string(kReadFailed) + cannotRead(errno)};
    if (const int error = emptyDataFile(); error != 0) return Failure{writeFailed(error)};
    return convertInto(list, dataFile.fd(), strict);
}

// The conversion of the opened relation list into its data file: the
// message that ends the run.
std::string convertOpenedList(const RelationList& list, const char* path, bool strict) {
    auto opened = OutputFile::open(std::string(path) + std::string(kOutputSuffix));
    if (std::holds_alternative<int>(opened)) return std::string(kOpenFailed);
    OutputFile& dataFile = std::get<OutputFile>(opened);
    Outcome outcome =
        dataFile.inPlace() ? convertInPlace(list, dataFile, strict) : convertInto(list, dataFile.fd(), strict);
    if (!outcome) {
        if (const int error = dataFile.commit(); error != 0) outcome = Failure{writeFailed(error)};
    }
    // After a failure the data file is dropped when it goes out of scope.
    return outcome ? outcome->message : std::string();
}

// Ends a run that an exception stopped, once the data file was dropped:
// why, after the prefix of a failed write, without allocating.
int finishAfterException() {
    say(kWriteFailed);
    try {
        throw;
    } catch (const std::bad_alloc&) {
        say(std::strerror(ENOMEM));
    } catch (const std::exception& error) {
        say(error.what());
    } catch (...) {
        say("unexpected error");
    }
    std::fflush(stdout);
    return kExitStatus;
}

// The conversion of one relation list into its data file.
int convertList(const char* path, bool strict) {
    const RelationList list = openRelationList(path);
    if (list.fd < 0) return finish(kOpenFailed);
    say(kOpened);
    // Where even that room can't be had, no allocation may be risked.
    if (exceptionRoom.load() == nullptr) {
        say(kWriteFailed);
        return finish(std::strerror(ENOMEM));
    }
    try {
        return finish(convertOpenedList(list, path, strict));
    } catch (...) {
        return finishAfterException();
    }
}

}  // namespace

int runConversion(int argc, char** argv) {
    // Before the first message: "abriu" then never goes out alone because
    // a buffer could not be had for what follows it.
    static char messageBuffer[kMessageRoom];
    std::setvbuf(stdout, messageBuffer, _IOFBF, sizeof messageBuffer);
    exceptionRoom.store(std::malloc(kExceptionRoom));
    std::set_new_handler(freeExceptionRoomAndThrow);
    // A closed or broken standard output must not stop the conversion, and
    // a write past the file-size limit fails (EFBIG) instead of killing it.
    std::signal(SIGPIPE, SIG_IGN);
    std::signal(SIGXFSZ, SIG_IGN);
    // The options are recognised only as the first argument; any other
    // first argument is the relation list, and later arguments are ignored.
    // Nothing here allocates: only the conversion may run out of memory.
    const std::string_view first = argc >= 2 && argv[1] != nullptr ? argv[1] : "";
    if (first == kHelpOption) return answer(kHelp);
    if (first == kVersionOption) {
        say(kProgramName);
        say(" " DATMOS_VERSION);
        return answer("\n");
    }
    const bool strict = first == kStrictOption;
    const int listArgument = strict ? 2 : 1;
    if (argc <= listArgument || argv[listArgument] == nullptr) {
        say(kOpenFailed);
        return finish(kNoArgument);
    }
    return convertList(argv[listArgument], strict);
}

}  // namespace datmos
