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
//  - cut short by a read that fails after a place chosen from the input,
//    in strict mode or not, the reader and the conversion in chunks stop at
//    the same field, for the same reason, on the same line;
//  - it agrees with the reference reader field for field: the same
//    header and relations bit for bit, the same field refused, with the
//    same line and description;
//  - the writer, given what was read, produces exactly the reference data
//    file (through a small output buffer, so that it flushes often).
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "byte_input.h"
#include "byte_output.h"
#include "data_file.h"
#include "memory_file.h"
#include "read_list.h"
#include "reference_reader.h"

namespace {

using datmos::test::ListRead;

// writeHead lists every person on one line; beyond this many the check
// would spend its time writing names, so larger counts are clamped.
constexpr std::int32_t kMostNames = 4096;

[[noreturn]] void fail(const char* what) {
    std::fprintf(stderr, "\n*** %s\n", what);
    std::fflush(stderr);
    std::abort();
}

bool sameRead(const ListRead& a, const ListRead& b) {
    return datmos::test::sameEnd(a, b) && datmos::test::sameRelations(a.relations, b.relations);
}

void print(const char* label, const std::string& description) {
    std::fprintf(stderr, "%s:\n%s", label, description.c_str());
}

// A stopped read must say where and why in printable text.
void checkDescription(const ListRead& result) {
    if (!result.error) return;
    if (!result.error->line) fail("read error without a line");
    if (result.error->what.rfind("expected ", 0) != 0) fail("read error description does not say what was expected");
    for (const char c : result.error->what) {
        if (c < 0x20 || c > 0x7E) fail("read error description holds a non-printable byte");
    }
}

ListRead readFromStart(int fd, std::size_t capacity, std::size_t batch) {
    if (::lseek(fd, 0, SEEK_SET) != 0) fail("lseek failed");
    return datmos::test::readList(fd, capacity, batch);
}

std::uint64_t hashOf(const std::uint8_t* data, std::size_t size) {
    std::uint64_t hash = 14695981039346656037ULL;
    for (std::size_t i = 0; i < size; ++i) hash = (hash ^ data[i]) * 1099511628211ULL;
    return hash;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const int inputFd = datmos::test::emptyMemoryFile();
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    datmos::test::replaceContents(inputFd, text);
    const std::uint64_t hash = hashOf(data, size);

    // A buffer that holds the whole input: one read(2) takes it all, just
    // as with the default capacity, without allocating a megabyte for
    // every run.
    const std::size_t wholeCapacity = std::min(size + 1, datmos::ByteInput::kDefaultCapacity);
    const ListRead project = readFromStart(inputFd, wholeCapacity, 64);
    checkDescription(project);

    // Tiny buffers, so that numbers straddle their boundaries everywhere:
    // from the memory file one relation per call, and from a pipe in small
    // batches.
    const std::size_t tinyCapacities[] = {1 + hash % 64, 1 + (hash >> 6) % 8};
    const std::size_t smallBatch = 1 + (hash >> 9) % 16;
    for (const bool pipe : {false, true}) {
        const std::size_t capacity = tinyCapacities[pipe ? 1 : 0];
        const std::size_t batch = pipe ? smallBatch : 1;
        ListRead tiny;
        if (pipe) {
            const int fd = datmos::test::pipeWith(text);
            tiny = datmos::test::readList(fd, capacity, batch);
            ::close(fd);
        } else {
            tiny = readFromStart(inputFd, capacity, batch);
        }
        if (!sameRead(project, tiny)) {
            print("buffer holding the whole input, batches of 64", datmos::test::describe(project));
            std::fprintf(stderr, "buffer of %zu bytes, %s, batches of %zu", capacity, pipe ? "from a pipe" : "from a file",
                         batch);
            print("", datmos::test::describe(tiny));
            fail("the reader's result depends on its buffer, the kind of file or the batch size");
        }
    }

    // In parallel, through chunks small enough that relations, and numbers
    // longer than a chunk, cross their boundaries; for one input in eight,
    // on the calling thread alone, from a window that holds the whole list.
    const std::size_t chunkBytes = 1 + (hash >> 13) % 48;
    // Threads for one input in eight: starting them costs more than the rest.
    const unsigned workers = (hash >> 19) % 8 == 0 ? 2 + static_cast<unsigned>((hash >> 22) % 2) : 1;
    const std::size_t window = (hash >> 25) % 8 == 0 ? wholeCapacity : datmos::ByteInput::kLeastWindow;
    if (::lseek(inputFd, 0, SEEK_SET) != 0) fail("lseek failed");
    const datmos::test::ListConverted parallel = datmos::test::convertList(inputFd, workers, chunkBytes, window);
    if (!datmos::test::sameEnd(parallel, project) ||
        (!project.error && parallel.lines != datmos::test::linesOf(project.relations))) {
        print("read in order", datmos::test::describe(project));
        std::fprintf(stderr, "converted after a window of %zu bytes in chunks of %zu bytes by %u workers:\n%s%s", window,
                     chunkBytes, workers,
                     datmos::test::describe(parallel).c_str(), parallel.lines.c_str());
        fail("converting in parallel differs from reading in order");
    }

    // Cut short by a failed read, under the rules of either mode.
    const std::string_view readable = text.substr(0, (hash >> 24) % (size + 1));
    const bool strict = ((hash >> 40) & 1) != 0;
    int fd = datmos::test::terminalFailingAfter(readable);
    const ListRead streamed = datmos::test::readList(fd, wholeCapacity, smallBatch, strict);
    ::close(fd);
    fd = datmos::test::terminalFailingAfter(readable);
    const datmos::test::ListConverted chunked = datmos::test::convertList(fd, workers, chunkBytes, 64, strict);
    ::close(fd);
    if (!datmos::test::sameEnd(chunked, streamed) ||
        (!streamed.error && chunked.lines != datmos::test::linesOf(streamed.relations))) {
        std::fprintf(stderr, "a read fails after byte %zu%s\n", readable.size(), strict ? ", strict mode" : "");
        print("read in order", datmos::test::describe(streamed));
        print("converted in chunks", datmos::test::describe(chunked));
        fail("the reader and the conversion in chunks differ on a failed read");
    }

    const ListRead reference = datmos_fuzz::readReferenceList(text);
    if (!sameRead(project, reference)) {
        print("reader", datmos::test::describe(project));
        print("reference", datmos::test::describe(reference));
        fail("the reader disagrees with the reference reader");
    }

    // The writer, given the records read, through a small buffer.
    const std::int32_t people = project.header ? std::min(project.header->people, kMostNames) : 0;
    const std::string written = datmos::test::writtenBy(
        [&](datmos::ByteOutput& output) {
            if (project.header) datmos::writeHead(output, people);
            for (const datmos::Relation& relation : project.relations) datmos::writeRelation(output, relation);
            if (!project.error) datmos::writeTail(output);
        },
        64 + (hash >> 8) % 193);
    const std::string expected =
        project.header ? datmos_fuzz::referenceDataFile(people, project.relations, !project.error) : "";
    if (written != expected) {
        std::fprintf(stderr, "written:\n%s\nexpected:\n%s\n", written.c_str(), expected.c_str());
        fail("the writer's data file differs from the reference");
    }
    return 0;
}
