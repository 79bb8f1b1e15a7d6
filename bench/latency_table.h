// The figures of the per-file latency benchmark: medians of wall times and
// of per-round ratios, judged against targets and printed as a table.
#pragma once

#include <cstddef>
#include <cstdio>
#include <string>
#include <vector>

namespace latency {

// The programs timed in every round, in this order; the other converter
// only when one is given.
enum Column : std::size_t { kConverter, kStdio, kFloor, kOther, kColumns };
inline constexpr const char* kColumnNames[kColumns] = {"converter", "stdio program", "floor", "other converter"};

// A list and the largest ratios of the converter's time to the stdio
// program's and to the floor's that it is to meet; 0 for no target.
struct ListTargets {
    std::string path;
    double maxVsStdio = 0;
    double maxVsFloor = 0;
};

// Wall seconds of every timed round, one vector per column.
using Rounds = std::vector<std::vector<double>>;

struct ListResult {
    ListTargets list;
    std::string listBytes;
    Rounds rounds;
    std::size_t dataFileBytes = 0;
};

// The value below which the given share (0 to 1) of the values lies,
// interpolated between neighbours: the median at 0.5.
double quantile(std::vector<double> values, double share);

// The per-round ratios numerator / denominator.
std::vector<double> ratios(const std::vector<double>& numerators, const std::vector<double>& denominators);

// One line per list as it is done: medians and the quartiles of the ratios.
void printProgress(const ListResult& result, std::FILE* out);

// The Markdown table of every list; false when a target was missed.
bool printTable(const std::vector<ListResult>& results, std::FILE* out);

}  // namespace latency
