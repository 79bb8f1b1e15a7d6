// Fuzz target: arbitrary bytes as a relation list, read by the reader and
// written by the writer entirely in memory (memfd), checked against the
// plain reference reader.
//
// For every input:
//  - the reader either reads the header and every announced relation, or
//    stops with a description of the offending field; it never crashes,
//    hangs or reads outside its buffer (the sanitizers watch that);
//  - the reader gives the same result with a buffer that holds the whole
//    input and with tiny ones (1 to 64 bytes, chosen from the input), from
//    the memory file and from a pipe, one relation per call and in batches,
//    so that numbers straddling a buffer boundary are read whole and lines
//    are counted either way;
//  - it agrees with the reference reader field for field: the same
//    header and relations bit for bit, the same field refused, with the
//    same line and description;
//  - the writer, given what was read, produces exactly the reference data
//    file (through a small output buffer, so that it flushes often).
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "byte_input.h"
#include "byte_output.h"
#include "data_file.h"
#include "parallel_conversion.h"
#include "reference_reader.h"
#include "relation_list.h"

namespace {

// writeHead lists every person on one line; beyond this many the check
// would spend its time writing names, so larger counts are clamped.
constexpr std::int32_t kMostNames = 4096;

[[noreturn]] void fail(const char* what) {
    std::fprintf(stderr, "\n*** %s\n", what);
    std::fflush(stderr);
    std::abort();
}

int memoryFile(const char* name) {
    const int fd = ::memfd_create(name, MFD_CLOEXEC);
    if (fd < 0) fail("memfd_create failed");
    return fd;
}

void replaceContents(int fd, const void* data, std::size_t size) {
    if (::ftruncate(fd, 0) != 0) fail("ftruncate failed");
    const auto* bytes = static_cast<const char*>(data);
    std::size_t done = 0;
    while (done < size) {
        const ssize_t written = ::pwrite(fd, bytes + done, size - done, static_cast<off_t>(done));
        if (written <= 0) fail("pwrite failed");
        done += static_cast<std::size_t>(written);
    }
    if (::lseek(fd, 0, SEEK_SET) != 0) fail("lseek failed");
}

std::string contents(int fd) {
    std::string text;
    char block[4096];
    for (off_t offset = 0;;) {
        const ssize_t got = ::pread(fd, block, sizeof block, offset);
        if (got < 0) fail("pread failed");
        if (got == 0) return text;
        text.append(block, static_cast<std::size_t>(got));
        offset += got;
    }
}

struct ReadResult {
    bool headerRead = false;
    datmos::ListHeader header;
    std::vector<datmos::Relation> relations;
    bool complete = false;
    std::uint64_t errorLine = 0;
    std::string errorWhat;
};

// Reads the whole list: the relations one call each (batch 0), or in
// calls of readRelations for up to `batch` relations, as the conversion run
// reads them.
ReadResult readWithProject(int fd, std::size_t capacity, std::size_t batch) {
    datmos::ByteInput input(fd, capacity);
    ReadResult result;
    auto stop = [&](const datmos::ReadError& error) {
        result.errorLine = error.line;
        result.errorWhat = error.what;
        return result;
    };
    const auto header = datmos::readHeader(input);
    if (const auto* error = std::get_if<datmos::ReadError>(&header)) return stop(*error);
    result.header = std::get<datmos::ListHeader>(header);
    result.headerRead = true;
    const auto count = static_cast<std::size_t>(std::max(result.header.relationCount, 0));
    if (batch == 0) {
        while (result.relations.size() < count) {
            const auto relation = datmos::readRelation(input);
            if (const auto* error = std::get_if<datmos::ReadError>(&relation)) return stop(*error);
            result.relations.push_back(std::get<datmos::Relation>(relation));
        }
    } else {
        std::vector<datmos::Relation> relations;
        while (result.relations.size() < count) {
            relations.assign(std::min(batch, count - result.relations.size()), datmos::Relation{});
            std::optional<datmos::ReadError> error;
            const std::size_t read = datmos::readRelations(input, relations, error);
            if (read > relations.size() || (read < relations.size()) != error.has_value()) {
                fail("readRelations miscounts, or stops early without an error");
            }
            result.relations.insert(result.relations.end(), relations.begin(),
                                    relations.begin() + static_cast<std::ptrdiff_t>(read));
            if (error) return stop(*error);
        }
    }
    result.complete = true;
    return result;
}

ReadResult readFromStart(int fd, std::size_t capacity, std::size_t batch) {
    if (::lseek(fd, 0, SEEK_SET) != 0) fail("lseek failed");
    return readWithProject(fd, capacity, batch);
}

// Reads the input from a pipe, where the reader cannot go back to count
// lines and must count them as it goes. The input fits in the pipe.
ReadResult readThroughPipe(const std::uint8_t* data, std::size_t size, std::size_t capacity, std::size_t batch) {
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0) fail("pipe2 failed");
    if (::fcntl(ends[1], F_SETPIPE_SZ, static_cast<int>(std::max<std::size_t>(size, 4096))) < 0) {
        fail("cannot make the pipe hold the input");
    }
    for (std::size_t done = 0; done < size;) {
        const ssize_t written = ::write(ends[1], data + done, size - done);
        if (written <= 0) fail("write to pipe failed");
        done += static_cast<std::size_t>(written);
    }
    ::close(ends[1]);
    ReadResult result = readWithProject(ends[0], capacity, batch);
    ::close(ends[0]);
    return result;
}

std::uint64_t bitsOf(double value) {
    std::uint64_t bits = 0;
    std::memcpy(&bits, &value, sizeof bits);
    return bits;
}

bool sameRelation(const datmos::Relation& a, const datmos::Relation& b) {
    return a.first == b.first && a.second == b.second && bitsOf(a.weight) == bitsOf(b.weight);
}

void printResult(const char* label, bool headerRead, const datmos::ListHeader& header,
                 const std::vector<datmos::Relation>& relations, bool complete, std::uint64_t line,
                 const std::string& what) {
    std::fprintf(stderr, "%s:\n", label);
    if (headerRead) std::fprintf(stderr, "  header %d %d\n", header.people, header.relationCount);
    for (std::size_t i = 0; i < relations.size(); ++i) {
        const datmos::Relation& r = relations[i];
        std::fprintf(stderr, "  relation %zu: %d %d %a (bits %016" PRIx64 ")\n", i + 1, r.first, r.second, r.weight,
                     bitsOf(r.weight));
    }
    if (complete) {
        std::fprintf(stderr, "  complete\n");
    } else {
        std::fprintf(stderr, "  stopped at line %" PRIu64 ": %s\n", line, what.c_str());
    }
}

void print(const char* label, const ReadResult& r) {
    printResult(label, r.headerRead, r.header, r.relations, r.complete, r.errorLine, r.errorWhat);
}

void print(const char* label, const datmos_fuzz::ReferenceList& r) {
    printResult(label, r.headerRead, r.header, r.relations, r.complete, r.errorLine, r.errorWhat);
}

template <typename A, typename B>
bool sameResult(const A& a, const B& b) {
    if (a.headerRead != b.headerRead || a.complete != b.complete) return false;
    if (a.headerRead && (a.header.people != b.header.people || a.header.relationCount != b.header.relationCount)) {
        return false;
    }
    if (a.relations.size() != b.relations.size()) return false;
    for (std::size_t i = 0; i < a.relations.size(); ++i) {
        if (!sameRelation(a.relations[i], b.relations[i])) return false;
    }
    return a.complete || (a.errorLine == b.errorLine && a.errorWhat == b.errorWhat);
}

// A stopped read must say where and why in printable text.
void checkDescription(const ReadResult& result) {
    if (result.complete) return;
    if (result.errorLine == 0) fail("read error without a line");
    if (result.errorWhat.rfind("expected ", 0) != 0) fail("read error description does not say what was expected");
    for (const char c : result.errorWhat) {
        if (c < 0x20 || c > 0x7E) fail("read error description holds a non-printable byte");
    }
}

// The relations converted as the program converts them: cut into small
// chunks, read and formatted by several workers, written in list order.
struct Converted {
    std::string lines;
    bool complete = false;
    std::uint64_t errorLine = 0;
    std::string errorWhat;
    std::int64_t failedRelation = 0;
};

Converted convertInParallel(int inputFd, int outputFd, std::size_t chunkBytes, unsigned workers) {
    if (::lseek(inputFd, 0, SEEK_SET) != 0) fail("lseek failed");
    replaceContents(outputFd, nullptr, 0);
    Converted result;
    {
        datmos::ByteInput input(inputFd, 64);
        datmos::ByteOutput output(outputFd, datmos::ByteOutput::kMinimumCapacity);
        const auto header = datmos::readHeader(input);
        const std::int32_t count = std::get<datmos::ListHeader>(header).relationCount;
        const datmos::RelationsOutcome outcome = datmos::convertRelations(input, count, output, workers, chunkBytes);
        output.flush();
        if (output.error() != 0) fail("writing to memory failed");
        result.complete = !outcome.readError;
        if (outcome.readError) {
            result.errorLine = outcome.readError->line;
            result.errorWhat = outcome.readError->what;
            result.failedRelation = outcome.failedRelation;
        }
    }
    result.lines = contents(outputFd);
    return result;
}

// The lines of the relations read one at a time, as the writer writes them.
std::string linesOf(int outputFd, const std::vector<datmos::Relation>& relations) {
    replaceContents(outputFd, nullptr, 0);
    {
        datmos::ByteOutput output(outputFd, datmos::ByteOutput::kMinimumCapacity);
        for (const datmos::Relation& relation : relations) datmos::writeRelation(output, relation);
        output.flush();
    }
    return contents(outputFd);
}

std::uint64_t hashOf(const std::uint8_t* data, std::size_t size) {
    std::uint64_t hash = 14695981039346656037ULL;
    for (std::size_t i = 0; i < size; ++i) hash = (hash ^ data[i]) * 1099511628211ULL;
    return hash;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const int inputFd = memoryFile("relation-list");
    static const int outputFd = memoryFile("data-file");
    replaceContents(inputFd, data, size);
    const std::uint64_t hash = hashOf(data, size);

    // A buffer that holds the whole input: one read(2) takes it all, just
    // as with the default capacity, without allocating a megabyte for
    // every run.
    const std::size_t wholeCapacity = std::min(size + 1, datmos::ByteInput::kDefaultCapacity);
    const ReadResult project = readFromStart(inputFd, wholeCapacity, 64);
    checkDescription(project);

    // Tiny buffers, so that numbers straddle their boundaries everywhere:
    // from the memory file one relation per call, and from a pipe in small
    // batches.
    const std::size_t tinyCapacities[] = {1 + hash % 64, 1 + (hash >> 6) % 8};
    const std::size_t smallBatch = 1 + (hash >> 9) % 16;
    for (const bool pipe : {false, true}) {
        const std::size_t capacity = tinyCapacities[pipe ? 1 : 0];
        const std::size_t batch = pipe ? smallBatch : 0;
        const ReadResult tiny =
            pipe ? readThroughPipe(data, size, capacity, batch) : readFromStart(inputFd, capacity, batch);
        if (!sameResult(project, tiny)) {
            print("buffer holding the whole input, batches of 64", project);
            std::fprintf(stderr, "buffer of %zu bytes, %s", capacity, pipe ? "from a pipe, batches of " : "");
            if (pipe) std::fprintf(stderr, "%zu", batch);
            print(pipe ? "" : "one relation per call", tiny);
            fail("the reader's result depends on its buffer, the kind of file or the batch size");
        }
    }

    // In parallel, through chunks small enough that relations, and numbers
    // longer than a chunk, cross their boundaries.
    if (project.headerRead) {
        const std::size_t chunkBytes = 1 + (hash >> 13) % 48;
        // Threads for one input in eight: starting them costs more than the rest.
        const unsigned workers = (hash >> 19) % 8 == 0 ? 2 + static_cast<unsigned>((hash >> 22) % 2) : 1;
        const Converted parallel = convertInParallel(inputFd, outputFd, chunkBytes, workers);
        const bool same = parallel.complete == project.complete &&
                          (project.complete ? parallel.lines == linesOf(outputFd, project.relations)
                                            : parallel.errorLine == project.errorLine &&
                                                  parallel.errorWhat == project.errorWhat &&
                                                  parallel.failedRelation ==
                                                      static_cast<std::int64_t>(project.relations.size()) + 1);
        if (!same) {
            print("read in order", project);
            std::fprintf(stderr, "converted in chunks of %zu bytes by %u workers: %s\n%s", chunkBytes, workers,
                         parallel.complete ? "complete" : parallel.errorWhat.c_str(), parallel.lines.c_str());
            if (!parallel.complete) {
                std::fprintf(stderr, "  at line %" PRIu64 ", relation %" PRId64 "\n", parallel.errorLine,
                             parallel.failedRelation);
            }
            fail("converting in parallel differs from reading in order");
        }
    }

    const datmos_fuzz::ReferenceList reference =
        datmos_fuzz::readReferenceList(std::string_view(reinterpret_cast<const char*>(data), size));
    if (!sameResult(project, reference)) {
        print("reader", project);
        print("reference", reference);
        fail("the reader disagrees with the reference reader");
    }

    // The writer, given the records read, through a small buffer.
    const std::int32_t people = project.header.people < kMostNames ? project.header.people : kMostNames;
    replaceContents(outputFd, nullptr, 0);
    {
        datmos::ByteOutput output(outputFd, 64 + (hash >> 8) % 193);
        if (project.headerRead) datmos::writeHead(output, people);
        for (const datmos::Relation& relation : project.relations) datmos::writeRelation(output, relation);
        if (project.complete) datmos::writeTail(output);
        output.flush();
        if (output.error() != 0) fail("writing to memory failed");
    }
    const std::string written = contents(outputFd);
    const std::string expected =
        project.headerRead ? datmos_fuzz::referenceDataFile(people, project.relations, project.complete) : "";
    if (written != expected) {
        std::fprintf(stderr, "written:\n%s\nexpected:\n%s\n", written.c_str(), expected.c_str());
        fail("the writer's data file differs from the reference");
    }
    return 0;
}
