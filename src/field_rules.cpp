#include "field_rules.h"

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

}  // namespace datmos
