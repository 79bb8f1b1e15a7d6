// Writes a seeded relation list for the benchmarks: "PEOPLE RELATIONS",
// then RELATIONS times "first second weight". The shape (--shape) chooses
// how the numbers are written; see kShapes. The same seed gives the same
// bytes on every platform: only the raw output of std::mt19937_64, whose
// sequence the language fixes, is used, every double is built exactly from
// integers (no floating-point arithmetic that a platform could round
// differently), and numbers are formatted by std::to_chars or by hand,
// never through the C library's locale.
//
// usage: generate_list [--shape SHAPE] OUTPUT RELATIONS PEOPLE [SEED]
//   generate_list list.txt 10000000 1000000                 short decimals
//   generate_list --shape hex hex.txt 2000000 1000000       hexadecimal weights
//   generate_list names.txt 0 20000000                      the header alone
#include <bit>
#include <charconv>
#include <cmath>
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

enum class Shape { Short, Integer, Tabs, Column, Negative, Full, Exponent, Fractions, Persons, Hex };

struct ShapeInfo {
    std::string_view name;
    Shape shape;
    std::string_view description;
};

constexpr ShapeInfo kShapes[] = {
    {"short", Shape::Short, "integer part 0 to 9, 1 to 6 decimals (0.4213); the default"},
    {"integer", Shape::Integer, "integer weights from 0 to 999 (42)"},
    {"tabs", Shape::Tabs, "short decimals, fields separated by tabs, lines ended by CR LF"},
    {"column", Shape::Column, "short decimals, one number per line, the two counts too"},
    {"negative", Shape::Negative, "every weight negative, magnitude below 100, 5 decimals (-37.12345)"},
    {"full", Shape::Full,
     "53-bit doubles from 1/16 to 64 in shortest round-trip form, up to 17 digits (0.7184067203924305)"},
    {"exponent", Shape::Exponent, "1 to 7 significant digits as %e writes them, e-05 to e+04 (4.213000e-03)"},
    {"fractions", Shape::Fractions, "k/3, k/7 or k/31 up to 100 in shortest round-trip form (33.333333333333336)"},
    {"persons", Shape::Persons, "person numbers up to 2147483646 (mostly 10 digits), short decimals"},
    {"hex", Shape::Hex, "hexadecimal doubles with 0 to 13 fraction digits, p-8 to p+8 (0x1.af3p-2)"},
};

bool parseCount(const char* text, std::int64_t largest, std::int64_t& value) {
    const char* end = text + std::strlen(text);
    const auto [stop, error] = std::from_chars(text, end, value);
    return error == std::errc{} && stop == end && value >= 0 && value <= largest;
}

const ShapeInfo* findShape(std::string_view name) {
    for (const ShapeInfo& info : kShapes) {
        if (info.name == name) return &info;
    }
    return nullptr;
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

char* putDigits(char* out, std::uint64_t count, std::mt19937_64& random) {
    for (std::uint64_t d = 0; d < count; ++d) *out++ = static_cast<char>('0' + random() % 10);
    return out;
}

char* putShortest(char* out, double value) { return std::to_chars(out, out + 32, value).ptr; }

// significand * 2^exponent; exact for a significand below 2^53 (ldexp only
// changes the exponent).
double exactDouble(std::uint64_t significand, int exponent) {
    return std::ldexp(static_cast<double>(significand), exponent);
}

// numerator / denominator rounded to the nearest double, ties to even,
// computed in integers: a floating-point division could be rounded twice
// where the platform evaluates in extended precision. Needs a numerator
// from 1 to denominator * 2^52 and a denominator below 2^11, so that the
// scaled numerator (below denominator * 2^53) fits 64 bits.
double nearestQuotient(std::uint64_t numerator, std::uint64_t denominator) {
    constexpr std::uint64_t kHidden = std::uint64_t{1} << 52;
    int shift = 0;
    while (numerator < denominator * kHidden) {  // until the quotient has 53 bits
        numerator <<= 1;
        ++shift;
    }
    std::uint64_t quotient = numerator / denominator;
    const std::uint64_t twiceRest = 2 * (numerator % denominator);
    if (twiceRest > denominator || (twiceRest == denominator && (quotient & 1) != 0)) ++quotient;
    return exactDouble(quotient, -shift);  // 2^53 after rounding up is still exact
}

// One weight in the given shape. The order of the draws is part of the
// output: the short form must keep giving the bytes it always gave.
char* putWeight(char* out, Shape shape, std::mt19937_64& random) {
    const auto below = [&random](std::uint64_t bound) { return random() % bound; };
    switch (shape) {
        case Shape::Short:
        case Shape::Tabs:
        case Shape::Column:
        case Shape::Persons: {
            if (below(10) == 0) *out++ = '-';
            *out++ = static_cast<char>('0' + below(10));
            *out++ = '.';
            const auto decimals = 1 + below(6);
            return putDigits(out, decimals, random);
        }
        case Shape::Integer:
            if (below(10) == 0) *out++ = '-';
            return putNumber(out, static_cast<std::int64_t>(below(1000)));
        case Shape::Negative:
            *out++ = '-';
            out = putNumber(out, static_cast<std::int64_t>(below(100)));
            *out++ = '.';
            return putDigits(out, 5, random);
        case Shape::Full: {
            if (below(10) == 0) *out++ = '-';
            const std::uint64_t significand = (std::uint64_t{1} << 52) | (random() >> 12);
            const int exponent = static_cast<int>(below(10)) - 4;  // [2^-4, 2^6)
            return putShortest(out, exactDouble(significand, exponent - 52));
        }
        case Shape::Exponent: {
            // %e's form of a value with at most 7 significant digits is those
            // digits themselves, padded with zeros to 6 decimals.
            if (below(10) == 0) *out++ = '-';
            const auto significant = 1 + below(7);
            *out++ = static_cast<char>('1' + below(9));
            *out++ = '.';
            out = putDigits(out, significant - 1, random);
            for (auto d = significant; d < 7; ++d) *out++ = '0';
            const int exponent = static_cast<int>(below(10)) - 5;
            *out++ = 'e';
            *out++ = exponent < 0 ? '-' : '+';
            *out++ = '0';
            *out++ = static_cast<char>('0' + std::abs(exponent));
            return out;
        }
        case Shape::Fractions: {
            if (below(10) == 0) *out++ = '-';
            constexpr std::uint64_t kDenominators[] = {3, 7, 31};
            const std::uint64_t denominator = kDenominators[below(3)];
            const std::uint64_t numerator = 1 + below(100 * denominator);
            return putShortest(out, nearestQuotient(numerator, denominator));
        }
        case Shape::Hex: {
            if (below(10) == 0) *out++ = '-';
            const auto fractionDigits = below(14);
            const std::uint64_t dropped = (std::uint64_t{1} << (52 - 4 * fractionDigits)) - 1;
            const std::uint64_t significand = (std::uint64_t{1} << 52) | ((random() >> 12) & ~dropped);
            const int exponent = static_cast<int>(below(17)) - 8;
            *out++ = '0';
            *out++ = 'x';
            return std::to_chars(out, out + 32, exactDouble(significand, exponent - 52), std::chars_format::hex).ptr;
        }
    }
    return out;
}

void usage() {
    std::fprintf(stderr,
                 "usage: generate_list [--shape SHAPE] OUTPUT RELATIONS PEOPLE [SEED]\n"
                 "  RELATIONS and PEOPLE from 0 to 2147483647; PEOPLE > 0 when RELATIONS > 0;\n"
                 "  SEED defaults to %llu. Shapes:\n",
                 static_cast<unsigned long long>(kDefaultSeed));
    for (const ShapeInfo& info : kShapes) {
        std::fprintf(stderr, "  %-10.*s %.*s\n", static_cast<int>(info.name.size()), info.name.data(),
                     static_cast<int>(info.description.size()), info.description.data());
    }
}

}  // namespace

int main(int argc, char** argv) {
    const ShapeInfo* shape = &kShapes[0];
    if (argc >= 2 && std::string_view(argv[1]) == "--shape") {
        if (argc < 3 || (shape = findShape(argv[2])) == nullptr) {
            usage();
            return 2;
        }
        argc -= 2;
        argv += 2;
    }
    std::int64_t relations = 0;
    std::int64_t people = 0;
    std::int64_t seed = static_cast<std::int64_t>(kDefaultSeed);
    if (argc < 4 || argc > 5 || !parseCount(argv[2], INT32_MAX, relations) ||
        !parseCount(argv[3], INT32_MAX, people) || (argc == 5 && !parseCount(argv[4], INT64_MAX, seed))) {
        usage();
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

    std::string_view separator = " ";
    std::string_view lineEnd = "\n";
    if (shape->shape == Shape::Tabs) {
        separator = "\t";
        lineEnd = "\r\n";
    } else if (shape->shape == Shape::Column) {
        separator = "\n";
    }
    const auto put = [](char* out, std::string_view text) {
        std::memcpy(out, text.data(), text.size());
        return out + text.size();
    };
    // Person numbers: below PEOPLE, or anywhere up to 2^31 - 2, the largest
    // whose 1-based number still fits 32 bits.
    const std::uint64_t personBound =
        shape->shape == Shape::Persons ? std::uint64_t{INT32_MAX} : static_cast<std::uint64_t>(people);

    std::mt19937_64 random(static_cast<std::uint64_t>(seed));
    Writer writer(file);
    char* out = writer.line();
    out = putNumber(out, people);
    out = put(out, separator);
    out = putNumber(out, relations);
    out = put(out, lineEnd);
    writer.commit(out);

    for (std::int64_t i = 0; i < relations; ++i) {
        out = writer.line();
        out = putNumber(out, static_cast<std::int64_t>(random() % personBound));
        out = put(out, separator);
        out = putNumber(out, static_cast<std::int64_t>(random() % personBound));
        out = put(out, separator);
        out = putWeight(out, shape->shape, random);
        out = put(out, lineEnd);
        writer.commit(out);
    }

    const bool written = writer.flush();
    if (std::fclose(file) != 0 || !written) {
        std::fprintf(stderr, "generate_list: cannot write %s\n", argv[1]);
        return 1;
    }
    return 0;
}
