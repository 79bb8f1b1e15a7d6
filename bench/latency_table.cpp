#include "latency_table.h"

#include <algorithm>
#include <charconv>
#include <string_view>

namespace latency {
namespace {

// "20 relations, 50 people" from the list's first line, else its name.
std::string describeList(const ListResult& result) {
    const std::string_view bytes = result.listBytes;
    const char* cursor = bytes.data();
    const char* const end = bytes.data() + bytes.size();
    long long counts[2] = {0, 0};
    for (long long& count : counts) {
        while (cursor != end && (*cursor == ' ' || *cursor == '\t')) ++cursor;
        const auto [stop, error] = std::from_chars(cursor, end, count);
        if (error != std::errc{}) return result.list.path.substr(result.list.path.rfind('/') + 1);
        cursor = stop;
    }
    return std::to_string(counts[1]) + " relations, " + std::to_string(counts[0]) + " people";
}

std::string sizeText(std::size_t bytes) {
    char text[32];
    if (bytes < 1000) {
        std::snprintf(text, sizeof text, "%zu B", bytes);
    } else if (bytes < 1000000) {
        std::snprintf(text, sizeof text, "%.1f KB", static_cast<double>(bytes) / 1e3);
    } else {
        std::snprintf(text, sizeof text, "%.1f MB", static_cast<double>(bytes) / 1e6);
    }
    return text;
}

double median(const std::vector<double>& values) { return quantile(values, 0.5); }

double medianRatio(const Rounds& rounds, Column numerator, Column denominator) {
    return median(ratios(rounds[numerator], rounds[denominator]));
}

// "met (conv/stdio <= 1.00x)", "MISSED: conv/stdio > 1.00x", or "-"
// without targets.
std::string verdict(const ListResult& result) {
    const ListTargets& targets = result.list;
    std::string wanted;
    std::string missed;
    const auto judge = [&](double target, Column denominator, const char* name) {
        if (target == 0) return;
        char text[48];
        const bool met = medianRatio(result.rounds, kConverter, denominator) <= target;
        std::snprintf(text, sizeof text, "conv/%s %s %.2fx", name, met ? "<=" : ">", target);
        std::string& into = met ? wanted : missed;
        if (!into.empty()) into += ", ";
        into += text;
    };
    judge(targets.maxVsStdio, kStdio, "stdio");
    judge(targets.maxVsFloor, kFloor, "floor");
    if (!missed.empty()) return "MISSED: " + missed;
    return wanted.empty() ? "-" : "met (" + wanted + ")";
}

}  // namespace

double quantile(std::vector<double> values, double share) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    const double position = share * static_cast<double>(values.size() - 1);
    const auto below = static_cast<std::size_t>(position);
    const std::size_t above = std::min(below + 1, values.size() - 1);
    return values[below] + (values[above] - values[below]) * (position - static_cast<double>(below));
}

std::vector<double> ratios(const std::vector<double>& numerators, const std::vector<double>& denominators) {
    std::vector<double> result;
    for (std::size_t i = 0; i < numerators.size() && i < denominators.size(); ++i) {
        if (denominators[i] > 0) result.push_back(numerators[i] / denominators[i]);
    }
    return result;
}

void printProgress(const ListResult& result, std::FILE* out) {
    const Rounds& rounds = result.rounds;
    std::fprintf(out, "   %s (%s in, %s out):", describeList(result).c_str(),
                 sizeText(result.listBytes.size()).c_str(), sizeText(result.dataFileBytes).c_str());
    for (std::size_t column = 0; column < rounds.size(); ++column) {
        const char* separator = column == 0 ? "" : ",";
        std::fprintf(out, "%s %s %.3f ms", separator, kColumnNames[column], median(rounds[column]) * 1e3);
    }
    for (std::size_t column = kStdio; column < rounds.size(); ++column) {
        const std::vector<double> perRound = ratios(rounds[kConverter], rounds[column]);
        std::fprintf(out, "; converter / %s %.2fx (quartiles %.2fx to %.2fx)", kColumnNames[column],
                     quantile(perRound, 0.5), quantile(perRound, 0.25), quantile(perRound, 0.75));
    }
    std::fputc('\n', out);
}

bool printTable(const std::vector<ListResult>& results, std::FILE* out) {
    if (results.empty()) return true;
    const bool other = results.front().rounds.size() > kOther;
    std::fprintf(out, "| list | in | out | converter | stdio program | floor | conv / stdio | conv / floor |");
    std::fprintf(out, "%s targets |\n", other ? " other converter | conv / other |" : "");
    std::fprintf(out, "|---|---|---|---|---|---|---|---|%s---|\n", other ? "---|---|" : "");
    bool met = true;
    for (const ListResult& result : results) {
        const Rounds& rounds = result.rounds;
        const std::string judged = verdict(result);
        met = met && judged.rfind("MISSED", 0) != 0;
        std::fprintf(out, "| %s | %s | %s | %.3f ms | %.3f ms | %.3f ms | %.2fx | %.2fx |",
                     describeList(result).c_str(), sizeText(result.listBytes.size()).c_str(),
                     sizeText(result.dataFileBytes).c_str(),
                     median(rounds[kConverter]) * 1e3, median(rounds[kStdio]) * 1e3, median(rounds[kFloor]) * 1e3,
                     medianRatio(rounds, kConverter, kStdio), medianRatio(rounds, kConverter, kFloor));
        if (other) {
            std::fprintf(out, " %.3f ms | %.3fx |", median(rounds[kOther]) * 1e3,
                         medianRatio(rounds, kConverter, kOther));
        }
        std::fprintf(out, " %s |\n", judged.c_str());
    }
    return met;
}

}  // namespace latency
