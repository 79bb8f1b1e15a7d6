/* The least a process can do with a small relation list: open it, read it
   and write its bytes to LIST.datmos. What the converter takes beyond this
   on a small list is its own fixed cost. Plain libc, so that its start-up
   is that of a C program. Exit status 1, like the converter's, also after
   a success; a failure prints its reason.

   usage: small_file_floor RELATION_LIST */
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

static char buffer[128 * 1024];

int main(int argc, char** argv) {
    char outputPath[4096];
    if (argc != 2 || strlen(argv[1]) + sizeof ".datmos" > sizeof outputPath) {
        fputs("usage: small_file_floor RELATION_LIST\n", stderr);
        return 1;
    }
    snprintf(outputPath, sizeof outputPath, "%s.datmos", argv[1]);
    const int input = open(argv[1], O_RDONLY);
    const int output = open(outputPath, O_WRONLY | O_CREAT | O_TRUNC, 0666);
    if (input < 0 || output < 0) {
        perror(input < 0 ? argv[1] : outputPath);
        return 1;
    }
    ssize_t got;
    while ((got = read(input, buffer, sizeof buffer)) > 0) {
        if (write(output, buffer, (size_t)got) != got) {
            perror(outputPath);
            break;
        }
    }
    if (got < 0) perror(argv[1]);
    if (close(output) != 0) perror(outputPath);
    close(input);
    return 1;
}
