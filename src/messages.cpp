#include "messages.h"

#include <cstring>

#include "number_scan.h"

namespace datmos {

std::string expectedFound(std::string_view expected, const char* at, const char* end, const char* stop) {
    const char* limit = stop != nullptr && stop < end ? stop : end;
    std::size_t length = 0;
    while (at + length < limit && !isSpace(at[length])) ++length;
    std::string text = "expected ";
    text += expected;
    text += ", found ";
    if (length == 0) return text + "end of file";
    const bool cut = length > kQuotedBytes;
    if (cut) length = kQuotedBytes;
    text += '"';
    for (std::size_t i = 0; i < length; ++i) {
        const auto byte = static_cast<unsigned char>(at[i]);
        if (byte == '"' || byte == '\\') {
            text += '\\';
            text += static_cast<char>(byte);
        } else if (byte >= 0x20 && byte < 0x7F) {
            text += static_cast<char>(byte);
        } else {
            static constexpr char kHex[] = "0123456789abcdef";
            text += "\\x";
            text += kHex[byte >> 4];
            text += kHex[byte & 0xF];
        }
    }
    text += '"';
    if (cut) text += "...";
    return text;
}

std::string cannotRead(int error) { return std::string("cannot read: ") + std::strerror(error); }

std::string readFailed(std::uint64_t line, std::string_view where, std::string_view what) {
    std::string text(kReadFailed);
    text += "line " + std::to_string(line) + ", ";
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
