#include "reference_reader.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <locale.h>

#include "exact_scaling.h"
#include "expected_data_file.h"
#include "messages.h"

namespace datmos_fuzz {
namespace {

using datmos::reference::exactScaledWeight;

constexpr std::size_t kNoStop = std::string_view::npos;

bool isCSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

locale_t cLocale() {
    static const locale_t locale = newlocale(LC_ALL_MASK, "C", locale_t{});
    return locale;
}

// The field from `start` as the reader shows it in a description: up to
// whitespace or `stop`, at most datmos::kQuotedBytes, quoted and escaped.
std::string quoted(std::string_view text, std::size_t start, std::size_t stop) {
    std::size_t length = 0;
    while (start + length < text.size() && start + length < stop && !isCSpace(text[start + length])) ++length;
    if (length == 0) return "end of file";
    const bool cut = length > datmos::kQuotedBytes;
    if (cut) length = datmos::kQuotedBytes;
    std::string out = "\"";
    for (std::size_t i = 0; i < length; ++i) {
        const auto byte = static_cast<unsigned char>(text[start + i]);
        if (byte == '"' || byte == '\\') {
            out += '\\';
            out += static_cast<char>(byte);
        } else if (byte >= 0x20 && byte < 0x7F) {
            out += static_cast<char>(byte);
        } else {
            char escaped[5];
            std::snprintf(escaped, sizeof escaped, "\\x%02x", byte);
            out += escaped;
        }
    }
    out += '"';
    if (cut) out += "...";
    return out;
}

int hexDigitValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// The nearest binary64 to the hexadecimal number in [first, last) (sign,
// "0x", digits with an optional point, an optional "p" exponent), rounded
// once, ties to even, straight onto the subnormal grid where it falls
// there. glibc's strtod rounds some subnormal hexadecimal values wrongly
// (0x1.00000000000008p-1075 gives 0, not 2^-1074), so the oracle rounds
// these itself; strtod still decides where the number ends.
double hexValue(const char* first, const char* last) {
    const char* s = first;
    const bool negative = *s == '-';
    if (*s == '-' || *s == '+') ++s;
    s += 2;  // "0x"
    std::uint64_t mantissa = 0;  // the first 15 significant digits at most
    int significant = 0;
    long exponent = 0;  // of the mantissa's last bit
    bool sticky = false;
    bool afterPoint = false;
    for (; s < last && *s != 'p' && *s != 'P'; ++s) {
        if (*s == '.') {
            afterPoint = true;
            continue;
        }
        const int digit = hexDigitValue(*s);
        if (significant < 15) {
            mantissa = mantissa * 16 + static_cast<std::uint64_t>(digit);
            if (mantissa != 0) ++significant;
            if (afterPoint) exponent -= 4;
        } else {
            sticky = sticky || digit != 0;
            if (!afterPoint) exponent += 4;
        }
    }
    if (s < last) {  // the exponent, saturated far beyond any binary64
        ++s;
        const bool down = *s == '-';
        if (*s == '-' || *s == '+') ++s;
        long value = 0;
        for (; s < last; ++s) value = std::min(value * 10 + (*s - '0'), 100000000L);
        exponent += down ? -value : value;
    }
    double magnitude = 0.0;
    if (mantissa != 0) {
        const long top = exponent + static_cast<long>(64 - __builtin_clzll(mantissa)) - 1;
        const long quantum = std::max(top - 52, -1074L);  // exponent of the last bit kept
        const long shift = quantum - exponent;
        std::uint64_t kept = mantissa;
        if (shift >= 64) {
            kept = 0;  // the mantissa is below 2^60, far below half a unit
        } else if (shift > 0) {
            kept = mantissa >> shift;
            const std::uint64_t rest = mantissa & ((std::uint64_t{1} << shift) - 1);
            const std::uint64_t half = std::uint64_t{1} << (shift - 1);
            if (rest > half || (rest == half && (sticky || (kept & 1) != 0))) ++kept;
        } else {
            kept = mantissa << -shift;  // exact: fewer than 53 bits above the quantum
        }
        magnitude = std::ldexp(static_cast<double>(kept), static_cast<int>(std::clamp(quantum, -2000L, 2000L)));
    }
    return negative ? -magnitude : magnitude;
}

bool isHexNumber(const char* first, const char* last) {
    const char* s = first;
    if (s < last && (*s == '-' || *s == '+')) ++s;
    return last - s > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X');
}

class Reader {
public:
    explicit Reader(std::string_view text) : text_(text), terminated_(text) {}

    bool integer(long largest, std::string_view range, std::int32_t& value) {
        if (!startField(datmos::kExpectInteger)) return false;
        const char* first = terminated_.c_str() + position_;
        char* last = nullptr;
        errno = 0;
        const long parsed = strtol_l(first, &last, 10, cLocale());
        if (last == first) return refuse(datmos::kExpectInteger, kNoStop);
        if (errno == ERANGE || parsed < std::numeric_limits<std::int32_t>::min() || parsed > largest) {
            return refuse(range, static_cast<std::size_t>(last - terminated_.c_str()));
        }
        value = static_cast<std::int32_t>(parsed);
        position_ = static_cast<std::size_t>(last - terminated_.c_str());
        return true;
    }

    bool real(double& value) {
        if (!startField(datmos::kExpectReal)) return false;
        const char* first = terminated_.c_str() + position_;
        char* last = nullptr;
        double parsed = strtod_l(first, &last, cLocale());
        if (last == first) return refuse(datmos::kExpectReal, kNoStop);
        if (isHexNumber(first, last)) parsed = hexValue(first, last);
        if (!exactScaledWeight(parsed)) {
            return refuse(datmos::kExpectWeight, static_cast<std::size_t>(last - terminated_.c_str()));
        }
        value = parsed;
        weightStart_ = position_;
        position_ = weightEnd_ = static_cast<std::size_t>(last - terminated_.c_str());
        return true;
    }

    // The weight that the field at the current position directly follows,
    // if any: at most its last 64 bytes, as the converter's readers keep.
    std::string gluedToWeight() const {
        if (position_ != weightEnd_ || weightEnd_ == weightStart_ || position_ >= text_.size()) return {};
        const std::size_t first = std::max(weightStart_, weightEnd_ - std::min<std::size_t>(weightEnd_, 64));
        return std::string(text_.substr(first, weightEnd_ - first));
    }

    std::uint64_t errorLine() const { return errorLine_; }
    const std::string& errorWhat() const { return errorWhat_; }

private:
    // Skips whitespace; false (with the description) at the end of the text.
    bool startField(std::string_view expected) {
        while (position_ < text_.size() && isCSpace(text_[position_])) ++position_;
        if (position_ < text_.size()) return true;
        return refuse(expected, kNoStop);
    }

    bool refuse(std::string_view expected, std::size_t stop) {
        errorLine_ = 1;
        // A line feed, a carriage return, or the two together end a line.
        for (std::size_t i = 0; i < position_; ++i) {
            errorLine_ += text_[i] == '\r' || (text_[i] == '\n' && (i == 0 || text_[i - 1] != '\r')) ? 1 : 0;
        }
        errorWhat_ = "expected " + std::string(expected) + ", found " + quoted(text_, position_, stop);
        return false;
    }

    std::string_view text_;
    std::string terminated_;  // the same bytes, NUL-terminated for the C conversions
    std::size_t position_ = 0;
    std::size_t weightStart_ = 0;  // where the last weight read lies
    std::size_t weightEnd_ = 0;
    std::uint64_t errorLine_ = 0;
    std::string errorWhat_;
};

constexpr long kAnyInt32 = std::numeric_limits<std::int32_t>::max();
constexpr long kLargestPerson = kAnyInt32 - 1;

}  // namespace

datmos::test::ListRead readReferenceList(std::string_view text) {
    datmos::test::ListRead list;
    Reader reader(text);
    auto stop = [&](std::int64_t relation) {
        list.error = datmos::ReadError{reader.errorLine(), reader.errorWhat(), {}};
        list.failedRelation = relation;
        return list;
    };
    datmos::ListHeader header;
    if (!reader.integer(kAnyInt32, datmos::kExpectCount, header.people)) return stop(0);
    if (!reader.integer(kAnyInt32, datmos::kExpectCount, header.relationCount)) return stop(0);
    list.header = header;
    for (std::int32_t index = 0; index < header.relationCount; ++index) {
        datmos::Relation relation;
        if (!reader.integer(kLargestPerson, datmos::kExpectPerson, relation.first)) {
            const std::string glued = reader.gluedToWeight();
            stop(index + 1);
            list.error->gluedTo = glued;
            return list;
        }
        if (!reader.integer(kLargestPerson, datmos::kExpectPerson, relation.second)) return stop(index + 1);
        if (!reader.real(relation.weight)) return stop(index + 1);
        list.relations.push_back(relation);
    }
    return list;
}

std::string referenceDataFile(std::int32_t people, const std::vector<datmos::Relation>& relations, bool complete) {
    std::string out = datmos::test::dataFileHead(people);
    for (const datmos::Relation& relation : relations) {
        char line[80];
        std::snprintf(line, sizeof line, "( %lld , %lld ) %d\n", static_cast<long long>(relation.first) + 1,
                      static_cast<long long>(relation.second) + 1, exactScaledWeight(relation.weight).value_or(0));
        out += line;
    }
    if (complete) out += "]\n";
    return out;
}

}  // namespace datmos_fuzz
