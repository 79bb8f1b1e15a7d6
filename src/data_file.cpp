#include "data_file.h"

#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>

namespace datmos {
namespace {

char* appendText(char* out, std::string_view text) {
    std::memcpy(out, text.data(), text.size());
    return out + text.size();
}

char* appendInteger(char* out, std::int64_t value) {
    return std::to_chars(out, out + 20, value).ptr;
}

// The numbers 1 to people, each followed by one blank, as a decimal
// counter incremented in place: no conversion per number.
void writeNames(ByteOutput& output, std::int32_t people) {
    char digits[12] = {'0', '0', '0', '0', '0', '0', '0', '0', '0', '0', '0', ' '};
    char* const blank = digits + 11;
    char* first = blank - 1;  // first digit in use
    for (std::int32_t n = 1; n <= people; ++n) {
        char* digit = blank - 1;
        while (*digit == '9') *digit-- = '0';
        ++*digit;
        if (digit < first) first = digit;
        char* out = output.reserve(sizeof digits);
        output.commit(appendText(out, std::string_view(first, static_cast<std::size_t>(blank + 1 - first))));
    }
}

}  // namespace

std::optional<std::int32_t> scaleWeight(double weight) {
    const double product = weight * 10000.0;  // rounded to binary64
    // Beyond 2^32 (or NaN) the exact product is far outside 32 bits.
    if (!(std::fabs(product) < 4294967296.0)) return std::nullopt;
    double truncated = std::trunc(product);
    if (truncated == product) {
        // A whole rounded product may hide an exact one just short of it:
        // fma recovers the rounding error exactly, and its sign tells.
        const double error = std::fma(weight, 10000.0, -product);
        if (product > 0 && error < 0) truncated -= 1;
        if (product < 0 && error > 0) truncated += 1;
    }
    if (truncated < -2147483648.0 || truncated > 2147483647.0) return std::nullopt;
    return static_cast<std::int32_t>(truncated);
}

void writeHead(ByteOutput& output, std::int32_t people) {
    output.append("people: ");
    output.commit(appendInteger(output.reserve(20), people));
    output.append("\nVarErr: 0.5\nNames: [\n");
    writeNames(output, people);
    output.append("]\nMrel: [\n");
}

void writeRelation(ByteOutput& output, const Relation& relation) {
    const std::int32_t scaled = scaleWeight(relation.weight).value_or(std::numeric_limits<std::int32_t>::min());
    char* out = output.reserve(64);
    out = appendText(out, "( ");
    out = appendInteger(out, std::int64_t{relation.first} + 1);
    out = appendText(out, " , ");
    out = appendInteger(out, std::int64_t{relation.second} + 1);
    out = appendText(out, " ) ");
    out = appendInteger(out, scaled);
    *out++ = '\n';
    output.commit(out);
}

void writeTail(ByteOutput& output) { output.append("]\n"); }

}  // namespace datmos
