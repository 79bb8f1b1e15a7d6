// In-memory files for the tests, the fuzz target and the benchmarks: the
// reader and the writer work on file descriptors, and an anonymous memory
// file, a pipe or a terminal gives them one. Failures throw
// std::runtime_error.
#pragma once

#include <string>
#include <string_view>

namespace datmos::test {

// An empty, writable memory file.
int emptyMemoryFile();
// A memory file holding `content`, positioned at its start.
int memoryFileWith(std::string_view content);
// Makes the memory file hold `content` alone, positioned at its start.
void replaceContents(int fd, std::string_view content);
// Everything the file holds, whatever its position.
std::string contentOf(int fd);
// The reading end of a pipe that holds `content`, its writing end closed:
// bytes that can be read only once, and lines the reader can't count by
// reading again. The pipe is enlarged to hold the content when needed.
int pipeWith(std::string_view content);
// The reading end of a terminal that gives `content` and then fails: the
// next read(2) fails with EIO, as on a terminal whose other end has been
// closed. It holds about 10 KB at most.
int terminalFailingAfter(std::string_view content);

}  // namespace datmos::test
