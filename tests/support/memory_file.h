// In-memory files for the tests, the fuzz target and the benchmarks: the
// reader and the writer work on file descriptors, and an anonymous memory
// file or a pipe gives them one. Failures throw std::runtime_error.
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
// A descriptor from which every read(2) and pread(2) fails (with EISDIR:
// it is a directory), for input that ends in a read error.
int failingReads();

}  // namespace datmos::test
