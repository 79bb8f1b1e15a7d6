// In-memory files for the unit tests: the reader and the writer work on
// file descriptors, and an anonymous memory file gives them one.
#pragma once

#include <string>
#include <string_view>

namespace datmos::test {

// A readable descriptor positioned at the start of `content`.
int memoryFileWith(std::string_view content);
// An empty, writable descriptor.
int emptyMemoryFile();
// Everything written to the memory file so far.
std::string contentOf(int fd);

}  // namespace datmos::test
