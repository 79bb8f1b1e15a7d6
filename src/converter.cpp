#include "converter.h"

#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "byte_input.h"
#include "byte_output.h"
#include "data_file.h"
#include "output_file.h"
#include "parallel_conversion.h"
#include "relation_list.h"

namespace datmos {
namespace {

constexpr int kExitStatus = 1;  // the same after a success as after a failure
constexpr const char* kOpened = "abriu";
constexpr const char* kOpenFailed = "Fail to open file In";
constexpr const char* kReadFailed = "Fail to read file In: ";
constexpr const char* kWriteFailed = "Fail to write file Out: ";
constexpr const char* kUsage = ": no relation list given; usage: datmos-convert RELATION_LIST";
constexpr const char* kOutputSuffix = ".datmos";
// The header is read through a small window; the relations after it go
// through the chunks of the parallel conversion.
constexpr std::size_t kHeaderWindow = std::size_t{64} << 10;

void say(const std::string& message) { std::fputs(message.c_str(), stdout); }

int finish(const std::string& message) {
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

std::string readFailure(const ReadError& error, const std::string& field) {
    return kReadFailed + ("line " + std::to_string(error.line) + ", " + field + ": " + error.what);
}

std::string writeFailure(int error) { return kWriteFailed + std::string(std::strerror(error)); }

// Streams the relations from input to output; an empty string on success,
// else the message that ends the run.
std::string convert(ByteInput& input, ByteOutput& output) {
    const auto header = readHeader(input);
    if (const auto* error = std::get_if<ReadError>(&header)) return readFailure(*error, "header");
    const auto [people, relationCount] = std::get<ListHeader>(header);

    writeHead(output, people);
    const RelationsOutcome outcome = convertRelations(input, relationCount, output);
    if (output.error() != 0) return writeFailure(output.error());
    if (outcome.readError) {
        return readFailure(*outcome.readError, "relation " + std::to_string(outcome.failedRelation) + " of " +
                                                   std::to_string(relationCount));
    }
    writeTail(output);
    output.finish();
    if (output.error() != 0) return writeFailure(output.error());
    return {};
}

}  // namespace

int runConversion(int argc, char** argv) {
    // A closed or broken standard output must not stop the conversion.
    std::signal(SIGPIPE, SIG_IGN);
    if (argc < 2 || argv[1] == nullptr) return finish(std::string(kOpenFailed) + kUsage);

    const int inputFd = openRelationList(argv[1]);
    if (inputFd < 0) return finish(kOpenFailed);
    say(kOpened);

    auto opened = OutputFile::open(std::string(argv[1]) + kOutputSuffix);
    if (std::holds_alternative<int>(opened)) return finish(kOpenFailed);
    OutputFile& dataFile = std::get<OutputFile>(opened);

    ByteInput input(inputFd, kHeaderWindow);
    ByteOutput output(dataFile.fd(), ByteOutput::kDefaultCapacity, ByteOutput::Reserve::Ahead);
    std::string failure = convert(input, output);
    if (failure.empty()) {
        if (const int error = dataFile.commit(); error != 0) failure = writeFailure(error);
    }
    // On failure the data file is dropped when it goes out of scope.
    return finish(failure);
}

}  // namespace datmos
