// Counting words and line ends in text, sixteen bytes at a time.
#pragma once

#include <cstdint>
#include <optional>

namespace datmos {

// How many words (runs of bytes other than whitespace) begin in
// [first, last); the byte before first counts as whitespace.
std::uint64_t countWords(const char* first, const char* last);

// How many lines end in [first, last): a line feed, a carriage return,
// and a carriage return followed by a line feed each end one. With
// afterCarriageReturn, a line feed at first ends no line of its own.
std::uint64_t countLineEnds(const char* first, const char* last, bool afterCarriageReturn);

// How many lines end in the first `offset` bytes of the regular file fd,
// read again for the purpose; none where they can't all be read (a read
// fails, or the file has become shorter).
std::optional<std::uint64_t> countLineEndsInFile(int fd, std::uint64_t offset);

}  // namespace datmos
