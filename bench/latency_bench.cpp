// Per-file latency: times whole processes on small relation lists. In every
// round the converter, the stdio program, the small-file floor and, when
// given, a second converter run in turn, each as `PROGRAM LIST` writing
// LIST.datmos afresh; the wall time is read from a monotonic clock just
// before the process is started and just after it is reaped. Per list it
// prints the median wall times and the medians of the per-round ratios, in
// a Markdown table on standard output; progress goes to standard error.
//
// usage: latency_bench --converter PATH --stdio PATH --floor PATH
//                      [--vs-converter PATH] [--rounds N] [--warmup N]
//                      [--verbose] [[--targets STDIO,FLOOR] LIST]...
// --targets sets the largest converter/stdio and converter/floor ratios
// ("-": none) for the lists after it. Exit status 0, 1 when a run failed
// or wrote other bytes than expected, 2 on bad usage, 3 when a target
// was missed.
#include <fcntl.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <string_view>
#include <vector>

#include "latency_table.h"

extern char** environ;

namespace {

constexpr std::string_view kConverterSays = "abriu";

struct Program {
    const char* name;  // as the table heads its column
    std::string path;
};

// What every run of a program on a list must give: its exit status and
// the data file, byte for byte.
struct Expected {
    int status = -1;
    std::string dataFile;
};

struct Options {
    std::vector<Program> programs;  // converter, stdio program, floor, other converter
    std::vector<latency::ListTargets> lists;
    int rounds = 60;
    int warmup = 3;
    bool verbose = false;
};

double monotonicSeconds() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

// Runs PROGRAM LIST with standard input on /dev/null and standard output
// on outputFd; sets the exit status (128 + the signal for a killed
// process) and the wall seconds. Everything the
// parent does besides starting and reaping stays outside the clock.
bool runOnce(const std::string& program, const std::string& list, int outputFd, int& status, double& seconds) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, outputFd, STDOUT_FILENO);
    char* argv[] = {const_cast<char*>(program.c_str()), const_cast<char*>(list.c_str()), nullptr};
    pid_t child = 0;
    const double start = monotonicSeconds();
    const int error = posix_spawn(&child, program.c_str(), &actions, nullptr, argv, environ);
    if (error == 0) {
        while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
        }
    }
    seconds = monotonicSeconds() - start;
    posix_spawn_file_actions_destroy(&actions);
    if (error == 0) status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    if (error != 0) std::fprintf(stderr, "latency_bench: cannot start %s: %s\n", program.c_str(), std::strerror(error));
    return error == 0;
}

bool readWhole(int fd, std::string& bytes) {
    bytes.clear();
    char block[65536];
    ssize_t got = 0;
    while ((got = read(fd, block, sizeof block)) > 0) bytes.append(block, static_cast<std::size_t>(got));
    return got == 0;
}

bool readFile(const std::string& path, std::string& bytes) {
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    const bool read = readWhole(fd, bytes);
    close(fd);
    return read;
}

// Every run creates the data file afresh, on a disk with nothing left to
// write back from the run before.
void startAfresh(const std::string& dataFile, int listFd) {
    unlink(dataFile.c_str());
    syncfs(listFd);
}

// One untimed run of every program, its standard output kept: the stdio
// program's data file becomes what the converters must write, the list's
// own bytes what the floor must write, and each program's exit status
// what it must give every time.
bool learnExpected(const Options& options, const std::string& list, int listFd, std::vector<Expected>& expected) {
    const std::string dataFile = list + ".datmos";
    std::string listBytes;
    if (!readFile(list, listBytes)) return false;
    const int outputFd = memfd_create("standard output", MFD_CLOEXEC);
    if (outputFd < 0) return false;
    expected.assign(options.programs.size(), Expected{});
    bool ok = true;
    for (const std::size_t column : {latency::kStdio, latency::kConverter, latency::kFloor, latency::kOther}) {
        if (column >= options.programs.size()) continue;
        const Program& program = options.programs[column];
        std::string said;
        double seconds = 0;
        startAfresh(dataFile, listFd);
        if (ftruncate(outputFd, 0) != 0 ||
            !runOnce(program.path, list, outputFd, expected[column].status, seconds) ||
            lseek(outputFd, 0, SEEK_SET) != 0 || !readWhole(outputFd, said) ||
            !readFile(dataFile, expected[column].dataFile)) {
            std::fprintf(stderr, "!! %s on %s: no data file\n", program.name, list.c_str());
            ok = false;
            continue;
        }
        const bool converter = column == latency::kConverter || column == latency::kOther;
        const std::string& wanted = column == latency::kFloor ? listBytes : expected[latency::kStdio].dataFile;
        if (column == latency::kStdio && expected[column].status != 0) {
            std::fprintf(stderr, "!! %s on %s failed\n", program.name, list.c_str());
            ok = false;
        }
        if (converter && said != kConverterSays) {
            std::fprintf(stderr, "!! %s on %s printed '%s'\n", program.name, list.c_str(), said.c_str());
            ok = false;
        }
        if (column != latency::kStdio && expected[column].dataFile != wanted) {
            std::fprintf(stderr, "!! %s on %s: data file differs from the %s\n", program.name, list.c_str(),
                         column == latency::kFloor ? "list" : "stdio program's");
            ok = false;
        }
    }
    unlink(dataFile.c_str());
    close(outputFd);
    return ok;
}

// The rounds on one list; every run's exit status and data file checked.
bool timeList(const Options& options, const std::string& list, int listFd, const std::vector<Expected>& expected,
              latency::Rounds& rounds) {
    const std::string dataFile = list + ".datmos";
    const int nullFd = open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (nullFd < 0) return false;
    rounds.assign(options.programs.size(), {});
    std::string written;
    bool ok = true;
    for (int round = -options.warmup; ok && round < options.rounds; ++round) {
        for (std::size_t column = 0; ok && column < options.programs.size(); ++column) {
            const Program& program = options.programs[column];
            int status = -1;
            double seconds = 0;
            startAfresh(dataFile, listFd);
            ok = runOnce(program.path, list, nullFd, status, seconds);
            if (ok && (status != expected[column].status || !readFile(dataFile, written) ||
                       written != expected[column].dataFile)) {
                std::fprintf(stderr, "!! %s on %s, %s %d: exit status %d or data file not as before\n",
                             program.name, list.c_str(), round < 0 ? "warm-up" : "round",
                             round < 0 ? round + options.warmup + 1 : round + 1, status);
                ok = false;
            }
            if (round >= 0) rounds[column].push_back(seconds);
        }
        if (options.verbose && ok && round >= 0) {
            std::fprintf(stderr, "   round %d:", round + 1);
            for (std::size_t column = 0; column < rounds.size(); ++column) {
                std::fprintf(stderr, " %s %.3f ms", options.programs[column].name, rounds[column].back() * 1e3);
            }
            std::fputc('\n', stderr);
        }
    }
    unlink(dataFile.c_str());
    close(nullFd);
    return ok;
}

bool parseCount(const char* text, int& value) {
    char* end = nullptr;
    errno = 0;
    const long parsed = std::strtol(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || parsed < 0 || parsed > 1000000) return false;
    value = static_cast<int>(parsed);
    return true;
}

// "1.0,1.1", "0.4,-": the largest ratios, 0 for none.
bool parseTargets(const char* text, double& vsStdio, double& vsFloor) {
    const auto parseOne = [](std::string_view field, double& value) {
        value = 0;
        if (field == "-") return true;
        const std::string copy(field);
        char* end = nullptr;
        value = std::strtod(copy.c_str(), &end);
        return end == copy.c_str() + copy.size() && value > 0;
    };
    const std::string_view all(text);
    const std::size_t comma = all.find(',');
    return comma != std::string_view::npos && parseOne(all.substr(0, comma), vsStdio) &&
           parseOne(all.substr(comma + 1), vsFloor);
}

bool parseOptions(int argc, char** argv, Options& options) {
    std::string paths[latency::kColumns];
    double vsStdio = 0;
    double vsFloor = 0;
    for (int i = 1; i < argc; ++i) {
        const std::string_view option(argv[i]);
        const bool takesValue = option == "--converter" || option == "--stdio" || option == "--floor" ||
                                option == "--vs-converter" || option == "--rounds" || option == "--warmup" ||
                                option == "--targets";
        if (takesValue && i + 1 == argc) return false;
        const char* value = takesValue ? argv[++i] : nullptr;
        if (option == "--converter") paths[latency::kConverter] = value;
        else if (option == "--stdio") paths[latency::kStdio] = value;
        else if (option == "--floor") paths[latency::kFloor] = value;
        else if (option == "--vs-converter") paths[latency::kOther] = value;
        else if (option == "--rounds") { if (!parseCount(value, options.rounds) || options.rounds == 0) return false; }
        else if (option == "--warmup") { if (!parseCount(value, options.warmup)) return false; }
        else if (option == "--targets") { if (!parseTargets(value, vsStdio, vsFloor)) return false; }
        else if (option == "--verbose") options.verbose = true;
        else if (option.starts_with("-")) return false;
        else options.lists.push_back({argv[i], vsStdio, vsFloor});
    }
    if (paths[latency::kConverter].empty() || paths[latency::kStdio].empty() || paths[latency::kFloor].empty() ||
        options.lists.empty()) {
        return false;
    }
    for (std::size_t column = 0; column < latency::kColumns; ++column) {
        if (!paths[column].empty()) options.programs.push_back({latency::kColumnNames[column], paths[column]});
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    if (!parseOptions(argc, argv, options)) {
        std::fprintf(stderr,
                     "usage: latency_bench --converter PATH --stdio PATH --floor PATH [--vs-converter PATH]\n"
                     "                     [--rounds N] [--warmup N] [--verbose] [[--targets STDIO,FLOOR] LIST]...\n");
        return 2;
    }
    std::fprintf(stderr, "== latency: %d warm-up and %d timed rounds per list, in turn:", options.warmup,
                 options.rounds);
    for (const Program& program : options.programs) std::fprintf(stderr, " %s", program.name);
    std::fputc('\n', stderr);

    bool failed = false;
    std::vector<latency::ListResult> results;
    for (const latency::ListTargets& list : options.lists) {
        const int listFd = open(list.path.c_str(), O_RDONLY | O_CLOEXEC);
        std::vector<Expected> expected;
        latency::ListResult result{list, {}, {}, 0};
        if (listFd < 0) std::perror(list.path.c_str());
        if (listFd < 0 || !readFile(list.path, result.listBytes) ||
            !learnExpected(options, list.path, listFd, expected) ||
            !timeList(options, list.path, listFd, expected, result.rounds)) {
            std::fprintf(stderr, "!! %s: not timed\n", list.path.c_str());
            failed = true;
        } else {
            result.dataFileBytes = expected[latency::kStdio].dataFile.size();
            latency::printProgress(result, stderr);
            results.push_back(std::move(result));
        }
        if (listFd >= 0) close(listFd);
    }
    const bool met = latency::printTable(results, stdout);
    if (failed) return 1;
    return met ? 0 : 3;
}
