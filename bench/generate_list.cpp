// Writes a seeded relation list for the benchmarks, in the conventional
// layout: "PEOPLE RELATIONS" on the first line, then one "first second
// weight" per line. Person numbers are uniform in [0, PEOPLE); each weight
// has an integer part from 0 to 9 and 1 to 6 decimals, and one in ten is
// negative. The same seed gives the same bytes on every platform: only the
// raw output of std::mt19937_64, whose sequence the language fixes, is used.
//
// usage: generate_list OUTPUT RELATIONS PEOPLE [SEED]
//   generate_list list.txt 10000000 1000000     10 million relations
//   generate_list names.txt 0 20000000          the header alone
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <random>
#include <string_view>

namespace {

constexpr std::uint64_t kDefaultSeed = 20240611;
constexpr std::size_t kBufferSize = std::size_t{1} << 20;
constexpr std::size_t kLongestLine = 64;

bool parseCount(const char* text, std::int64_t largest, std::int64_t& value) {
    const char* end = text + std::strlen(text);
    const auto [stop, error] = std::from_chars(text, end, value);
    return error == std::errc{} && stop == end && value >= 0 && value <= largest;
}

class Writer {
public:
    explicit Writer(std::FILE* file) : file_(file), buffer_(new char[kBufferSize]) {}

    // Room for one line; flushes first when the buffer is nearly full.
    char* line() {
        if (used_ + kLongestLine > kBufferSize) flush();
        return buffer_.get() + used_;
    }
    void commit(char* end) { used_ = static_cast<std::size_t>(end - buffer_.get()); }

    bool flush() {
        if (used_ != 0 && std::fwrite(buffer_.get(), 1, used_, file_) != used_) ok_ = false;
        used_ = 0;
        return ok_;
    }

private:
    std::FILE* file_;
    std::unique_ptr<char[]> buffer_;
    std::size_t used_ = 0;
    bool ok_ = true;
};

char* putNumber(char* out, std::int64_t value) { return std::to_chars(out, out + 24, value).ptr; }

}  // namespace

int main(int argc, char** argv) {
    std::int64_t relations = 0;
    std::int64_t people = 0;
    std::int64_t seed = static_cast<std::int64_t>(kDefaultSeed);
    if (argc < 4 || argc > 5 || !parseCount(argv[2], INT32_MAX, relations) ||
        !parseCount(argv[3], INT32_MAX, people) || (argc == 5 && !parseCount(argv[4], INT64_MAX, seed))) {
        std::fprintf(stderr,
                     "usage: generate_list OUTPUT RELATIONS PEOPLE [SEED]\n"
                     "  RELATIONS and PEOPLE from 0 to 2147483647; PEOPLE > 0 when RELATIONS > 0\n");
        return 2;
    }
    if (relations > 0 && people == 0) {
        std::fprintf(stderr, "generate_list: relations need at least one person\n");
        return 2;
    }
    std::FILE* file = std::fopen(argv[1], "wb");
    if (file == nullptr) {
        std::perror(argv[1]);
        return 1;
    }

    std::mt19937_64 random(static_cast<std::uint64_t>(seed));
    const auto below = [&random](std::uint64_t bound) { return random() % bound; };

    Writer writer(file);
    char* out = writer.line();
    out = putNumber(out, people);
    *out++ = ' ';
    out = putNumber(out, relations);
    *out++ = '\n';
    writer.commit(out);

    for (std::int64_t i = 0; i < relations; ++i) {
        out = writer.line();
        out = putNumber(out, static_cast<std::int64_t>(below(static_cast<std::uint64_t>(people))));
        *out++ = ' ';
        out = putNumber(out, static_cast<std::int64_t>(below(static_cast<std::uint64_t>(people))));
        *out++ = ' ';
        if (below(10) == 0) *out++ = '-';
        *out++ = static_cast<char>('0' + below(10));
        *out++ = '.';
        const auto decimals = 1 + below(6);
        for (std::uint64_t d = 0; d < decimals; ++d) *out++ = static_cast<char>('0' + below(10));
        *out++ = '\n';
        writer.commit(out);
    }

    const bool written = writer.flush();
    if (std::fclose(file) != 0 || !written) {
        std::fprintf(stderr, "generate_list: cannot write %s\n", argv[1]);
        return 1;
    }
    return 0;
}
