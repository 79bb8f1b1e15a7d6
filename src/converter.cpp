#include "converter.h"

#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
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
#include "parallel_conversion.h"
#include "relation_list.h"

namespace datmos {
namespace {

constexpr int kExitStatus = 1;  // the same after a success as after a failure
constexpr std::string_view kOutputSuffix = ".datmos";
// The header is read through a small window; the relations after it go
// through the chunks of the parallel conversion.
constexpr std::size_t kHeaderWindow = std::size_t{64} << 10;

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

// Opens the relation list for reading; a directory counts as unopenable.
int openRelationList(const char* path) {
    const int fd = ::open(path, O_RDONLY | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) return -1;
    struct stat status{};
    if (::fstat(fd, &status) != 0 || S_ISDIR(status.st_mode)) {
        ::close(fd);
        return -1;
    }
    ::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
    return fd;
}

// Streams the relations from input to output.
Outcome convert(ByteInput& input, ByteOutput& output) {
    const auto header = readHeader(input);
    if (const auto* error = std::get_if<ReadError>(&header)) {
        return Failure{readFailed(error->line, "header", error->what)};
    }
    const auto [people, relationCount] = std::get<ListHeader>(header);

    writeHead(output, people);
    const RelationsOutcome relations = convertRelations(input, relationCount, output);
    if (output.error() != 0) return Failure{writeFailed(output.error())};
    if (const auto& error = relations.readError) {
        return Failure{readFailed(error->line, relationOf(relations.failedRelation, relationCount), error->what)};
    }
    writeTail(output);
    output.finish();
    if (output.error() != 0) return Failure{writeFailed(output.error())};
    return {};
}

}  // namespace

int runConversion(int argc, char** argv) {
    // A closed or broken standard output must not stop the conversion.
    std::signal(SIGPIPE, SIG_IGN);
    if (argc < 2 || argv[1] == nullptr) return finish(std::string(kOpenFailed) + std::string(kNoArgument));

    const int inputFd = openRelationList(argv[1]);
    if (inputFd < 0) return finish(kOpenFailed);
    say(kOpened);

    auto opened = OutputFile::open(std::string(argv[1]) + std::string(kOutputSuffix));
    if (std::holds_alternative<int>(opened)) return finish(kOpenFailed);
    OutputFile& dataFile = std::get<OutputFile>(opened);

    ByteInput input(inputFd, kHeaderWindow);
    ByteOutput output(dataFile.fd(), ByteOutput::kDefaultCapacity, ByteOutput::Reserve::Ahead);
    Outcome outcome = convert(input, output);
    if (!outcome) {
        if (const int error = dataFile.commit(); error != 0) outcome = Failure{writeFailed(error)};
    }
    // After a failure the data file is dropped when it goes out of scope.
    return finish(outcome ? outcome->message : std::string());
}

}  // namespace datmos
