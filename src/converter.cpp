#include "converter.h"

#include <algorithm>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <optional>
#include <span>
#include <string>
#include <thread>
#include <sys/stat.h>
#include <unistd.h>

#include "byte_input.h"
#include "byte_output.h"
#include "data_file.h"
#include "output_file.h"
#include "relation_channel.h"
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

// Relations pass from the reading thread to the writing thread in batches
// of this many; with kBatches in flight at most, memory stays bounded.
constexpr std::size_t kBatchSize = 16384;
constexpr int kBatches = 4;

// The reading thread: fills the batches that come back empty with the
// relations in list order, and stops after the last one or the first error.
void readBatches(ByteInput& input, std::int32_t relationCount, Channel<RelationBatch>& empty,
                 Channel<RelationBatch>& filled) {
    std::int32_t index = 0;
    for (bool last = false; !last;) {
        std::optional<RelationBatch> batch = empty.pop();
        if (!batch) return;  // the writer has stopped
        const std::int32_t remaining = std::max(relationCount - index, 0);  // a count may be negative
        const std::span<Relation> room(batch->relations.data(), std::min(kBatchSize, static_cast<std::size_t>(remaining)));
        batch->count = readRelations(input, room, batch->error);
        batch->errorIndex = index + static_cast<std::int32_t>(batch->count);
        index += static_cast<std::int32_t>(batch->count);
        last = batch->last = batch->error || index >= relationCount;
        filled.push(std::move(*batch));
    }
}

// The writing thread: writes each batch's relations as they come; an empty
// string once the last batch is written, else the message that ends the run.
std::string writeBatches(ByteOutput& output, std::int32_t relationCount, Channel<RelationBatch>& empty,
                         Channel<RelationBatch>& filled) {
    for (;;) {
        RelationBatch batch = *filled.pop();
        writeRelations(output, std::span(batch.relations).first(batch.count));
        if (output.error() != 0) return writeFailure(output.error());
        if (batch.error) {
            return readFailure(*batch.error,
                               "relation " + std::to_string(batch.errorIndex + 1) + " of " + std::to_string(relationCount));
        }
        if (batch.last) return {};
        empty.push(std::move(batch));
    }
}

// Streams the relations from input to output, reading on a second thread
// while this one writes; an empty string on success, else the message that
// ends the run.
std::string convert(ByteInput& input, ByteOutput& output) {
    const auto header = readHeader(input);
    if (const auto* error = std::get_if<ReadError>(&header)) return readFailure(*error, "header");
    const auto [people, relationCount] = std::get<ListHeader>(header);

    Channel<RelationBatch> empty;
    Channel<RelationBatch> filled;
    for (int i = 0; i < kBatches; ++i) {
        RelationBatch batch;
        batch.relations.resize(kBatchSize);
        empty.push(std::move(batch));
    }
    std::jthread reader([&, count = relationCount] { readBatches(input, count, empty, filled); });

    writeHead(output, people);
    std::string failure = writeBatches(output, relationCount, empty, filled);
    empty.close();  // lets the reader go if it waits for a batch
    reader.join();
    if (!failure.empty()) return failure;
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

    ByteInput input(inputFd);
    ByteOutput output(dataFile.fd(), ByteOutput::kDefaultCapacity, ByteOutput::Reserve::Ahead);
    std::string failure = convert(input, output);
    if (failure.empty()) {
        if (const int error = dataFile.commit(); error != 0) failure = writeFailure(error);
    }
    // On failure the data file is dropped when it goes out of scope.
    return finish(failure);
}

}  // namespace datmos
