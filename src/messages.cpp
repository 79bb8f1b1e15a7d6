#include "messages.h"

#include <cstring>

#include "number_scan.h"

namespace datmos {

std::string quoted(std::string_view text) {
    std::string result = "\"";
    for (const char c : text.substr(0, kQuotedBytes)) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte == '"' || byte == '\\') {
            result += '\\';
            result += static_cast<char>(byte);
        } else if (byte >= 0x20 && byte < 0x7F) {
            result += static_cast<char>(byte);
        } else {
            static constexpr char kHex[] = "0123456789abcdef";
            result += "\\x";
            result += kHex[byte >> 4];
            result += kHex[byte & 0xF];
        }
    }
    result += '"';
    if (text.size() > kQuotedBytes) result += "...";
    return result;
}

std::string expectedFound(std::string_view expected, const char* at, const char* end, const char* stop) {
    const char* limit = stop != nullptr && stop < end ? stop : end;
    std::size_t length = 0;
    while (at + length < limit && length <= kQuotedBytes && !isSpace(at[length])) ++length;
    std::string text = "expected ";
    text += expected;
    text += ", found ";
    text += length == 0 ? std::string("end of file") : quoted(std::string_view(at, length));
    return text;
}

std::string expectPersonOf(std::int32_t people) {
    if (people <= 0) return "no person number, as the list has " + std::to_string(people) + " people";
    return "a person number from 0 to " + std::to_string(people - 1);
}

std::string rightAfterWeight(std::string_view weight, std::int64_t relation) {
    return " right after the weight " + quoted(weight) + " of relation " + std::to_string(relation);
}

std::string afterRelations(std::int32_t relationCount) {
    if (relationCount <= 0) return "after the header";
    return "after " + relationOf(relationCount, relationCount);
}

std::string cannotRead(int error) { return std::string("cannot read: ") + std::strerror(error); }

std::string readFailed(std::optional<std::uint64_t> line, std::string_view where, std::string_view what) {
    std::string text(kReadFailed);
    text += "line " + (line ? std::to_string(*line) : std::string("unknown")) + ", ";
    text += where;
    text += ": ";
    text += what;
    return text;
}

std::string relationOf(std::int64_t relation, std::int32_t relationCount) {
    return "relation " + std::to_string(relation) + " of " + std::to_string(relationCount);
}

std::string writeFailed(int error) { return std::string(kWriteFailed) + std::strerror(error); }

}  // namespace datmos
