// The straightforward converter that the benchmark measures against: one
// fscanf per relation, one fprintf per line, the weight scaled by a
// long double product (exact on x86-64, whose long double has a 64-bit
// significand) truncated to int. It writes the same data file as
// datmos-convert for every well-formed list whose weights fit.
//
// usage: stdio_baseline RELATION_LIST [DATA_FILE]
// DATA_FILE defaults to RELATION_LIST followed by ".datmos". Exit status 0
// on success, 1 (with a message on standard error) on any failure.
#include <cstdio>
#include <string>

int main(int argc, char** argv) {
    if (argc < 2 || argc > 3) {
        std::fprintf(stderr, "usage: stdio_baseline RELATION_LIST [DATA_FILE]\n");
        return 1;
    }
    const std::string outputPath = argc == 3 ? std::string(argv[2]) : std::string(argv[1]) + ".datmos";

    std::FILE* input = std::fopen(argv[1], "r");
    if (input == nullptr) {
        std::perror(argv[1]);
        return 1;
    }
    std::FILE* output = std::fopen(outputPath.c_str(), "w");
    if (output == nullptr) {
        std::perror(outputPath.c_str());
        return 1;
    }

    int people = 0;
    int relationCount = 0;
    if (std::fscanf(input, "%d %d", &people, &relationCount) != 2) {
        std::fprintf(stderr, "stdio_baseline: no header in %s\n", argv[1]);
        return 1;
    }

    std::fprintf(output, "people: %d\nVarErr: 0.5\nNames: [\n", people);
    for (int n = 1; n <= people; ++n) std::fprintf(output, "%d ", n);
    std::fprintf(output, "]\nMrel: [\n");

    for (int i = 0; i < relationCount; ++i) {
        int first = 0;
        int second = 0;
        double weight = 0.0;
        if (std::fscanf(input, "%d %d %lf", &first, &second, &weight) != 3) {
            std::fprintf(stderr, "stdio_baseline: relation %d of %d unreadable in %s\n", i + 1, relationCount,
                         argv[1]);
            return 1;
        }
        const int scaled = static_cast<int>(static_cast<long double>(weight) * 10000.0L);
        std::fprintf(output, "( %d , %d ) %d\n", first + 1, second + 1, scaled);
    }
    std::fprintf(output, "]\n");

    if (std::ferror(output) != 0 || std::fclose(output) != 0) {
        std::fprintf(stderr, "stdio_baseline: cannot write %s\n", outputPath.c_str());
        return 1;
    }
    std::fclose(input);
    return 0;
}
