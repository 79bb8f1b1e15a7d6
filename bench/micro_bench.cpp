// Micro-benchmarks of the conversion's inner steps: scaling a weight,
// reading one relation and writing one relation line. The inputs are made
// like the end-to-end benchmark's lists: people below 10^6, weights with an
// integer part from 0 to 9, 1 to 6 decimals, one in ten negative; and, to
// read, lists whose weights need the full decimal conversion.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <random>
#include <span>
#include <string>
#include <unistd.h>
#include <vector>

#include "byte_input.h"
#include "byte_output.h"
#include "data_file.h"
#include "memory_file.h"
#include "read_list.h"
#include "weight_scale.h"

namespace {

constexpr std::uint64_t kSeed = 20240611;
constexpr std::int32_t kPeople = 1000000;

struct Sample {
    std::int32_t first;
    std::int32_t second;
    std::string weight;  // as written in a relation list
};

// How the weights are written, as in the end-to-end benchmark's lists of
// the same names: short decimals (9.542), doubles in shortest round-trip
// form from 1/16 to 64 (0.33402039520992866), 1 to 7 significant digits as
// "%e" writes them (6.910000e+01), k/3, k/7 or k/31 up to 100 in shortest
// form (19.333333333333332).
enum class WeightShape { Short, Full, Exponent, Fractions };

std::string shortest(double value) {
    char text[32];
    return {text, std::to_chars(text, text + sizeof text, value).ptr};
}

std::string makeWeight(WeightShape shape, std::mt19937_64& random) {
    const auto below = [&random](std::uint64_t bound) { return random() % bound; };
    std::string weight = below(10) == 0 ? "-" : "";
    switch (shape) {
        case WeightShape::Short: {
            weight += static_cast<char>('0' + below(10));
            weight += '.';
            const auto decimals = 1 + below(6);
            for (std::uint64_t d = 0; d < decimals; ++d) weight += static_cast<char>('0' + below(10));
            break;
        }
        case WeightShape::Full: {
            const std::uint64_t significand = (std::uint64_t{1} << 52) | (random() >> 12);
            weight += shortest(std::ldexp(static_cast<double>(significand), static_cast<int>(below(10)) - 56));
            break;
        }
        case WeightShape::Exponent: {
            const auto significant = 1 + below(7);
            weight += static_cast<char>('1' + below(9));
            weight += '.';
            for (std::uint64_t d = 1; d < 7; ++d) weight += d < significant ? static_cast<char>('0' + below(10)) : '0';
            const int exponent = static_cast<int>(below(10)) - 5;
            weight += exponent < 0 ? "e-0" : "e+0";
            weight += static_cast<char>('0' + std::abs(exponent));
            break;
        }
        case WeightShape::Fractions: {
            constexpr std::uint64_t kDenominators[] = {3, 7, 31};
            const std::uint64_t denominator = kDenominators[below(3)];
            weight += shortest(static_cast<double>(1 + below(100 * denominator)) / static_cast<double>(denominator));
            break;
        }
    }
    return weight;
}

std::vector<Sample> makeSamples(std::size_t count, WeightShape shape = WeightShape::Short) {
    std::mt19937_64 random(kSeed);
    std::vector<Sample> samples;
    samples.reserve(count);
    for (std::size_t i = 0; i < count; ++i) {
        const auto first = static_cast<std::int32_t>(random() % kPeople);
        const auto second = static_cast<std::int32_t>(random() % kPeople);
        samples.push_back({first, second, makeWeight(shape, random)});
    }
    return samples;
}

std::vector<double> makeWeights(std::size_t count) {
    std::vector<double> weights;
    weights.reserve(count);
    for (const Sample& sample : makeSamples(count)) weights.push_back(std::strtod(sample.weight.c_str(), nullptr));
    return weights;
}

[[noreturn]] void fail(const char* what) {
    std::perror(what);
    std::exit(1);
}

// A relation list of `count` relations in an anonymous in-memory file.
int makeListFile(std::size_t count, std::size_t& bytes, WeightShape shape) {
    std::string text = std::to_string(kPeople) + " " + std::to_string(count) + "\n";
    for (const Sample& sample : makeSamples(count, shape)) {
        text += std::to_string(sample.first);
        text += ' ';
        text += std::to_string(sample.second);
        text += ' ';
        text += sample.weight;
        text += '\n';
    }
    bytes = text.size();
    return datmos::test::memoryFileWith(text);
}

// The samples cycle through 2^20 of them: with only a few thousand, the
// branch predictor would learn their order, which a real list never allows.
constexpr std::size_t kSamples = std::size_t{1} << 20;

void BM_scaleWeight(benchmark::State& state) {
    const std::vector<double> weights = makeWeights(kSamples);
    std::size_t next = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(datmos::scaleWeight(weights[next]));
        next = (next + 1) & (kSamples - 1);
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_scaleWeight);

// Each iteration reads the whole in-memory list, header included, through
// a fresh ByteInput, `batch` relations per call of readRelations, so the
// figure per relation includes buffer refills.
void timeReading(benchmark::State& state, std::size_t batch, WeightShape shape = WeightShape::Short) {
    const auto count = static_cast<std::size_t>(state.range(0));
    std::size_t bytes = 0;
    const int fd = makeListFile(count, bytes, shape);
    for (auto _ : state) {
        if (::lseek(fd, 0, SEEK_SET) != 0) fail("lseek");
        datmos::ByteInput input(fd);
        const datmos::test::ListEnd end = datmos::test::readWholeList(
            input, batch, [](std::span<const datmos::Relation> relations) { benchmark::DoNotOptimize(relations.data()); });
        if (end.error) {
            state.SkipWithError("list not read");
            break;
        }
    }
    state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(count));
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(bytes));
    ::close(fd);
}

// One relation per call, as readRelation reads.
void BM_readRelation(benchmark::State& state) { timeReading(state, 1); }
BENCHMARK(BM_readRelation)->Arg(100000)->Unit(benchmark::kMillisecond);

// The same list read in batches of 16384 relations.
void BM_readRelations(benchmark::State& state) { timeReading(state, 16384); }
BENCHMARK(BM_readRelations)->Arg(100000)->Unit(benchmark::kMillisecond);

// The same, with the weights of the lists that need a full decimal
// conversion.
void BM_readWeights(benchmark::State& state, WeightShape shape) { timeReading(state, 16384, shape); }
BENCHMARK_CAPTURE(BM_readWeights, full, WeightShape::Full)->Arg(100000)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_readWeights, exponent, WeightShape::Exponent)->Arg(100000)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_readWeights, fractions, WeightShape::Fractions)->Arg(100000)->Unit(benchmark::kMillisecond);

std::vector<datmos::Relation> makeRelations(std::size_t count) {
    std::vector<datmos::Relation> relations;
    relations.reserve(count);
    for (const Sample& sample : makeSamples(count)) {
        relations.push_back({sample.first, sample.second, std::strtod(sample.weight.c_str(), nullptr)});
    }
    return relations;
}

// Writes `lines` relation lines per iteration, cycling through the
// samples, into a ByteOutput that flushes to /dev/null, so the figure
// includes the write(2) calls of a full buffer.
template <typename Write>
void timeRelationLines(benchmark::State& state, std::size_t lines, Write write) {
    const std::vector<datmos::Relation> relations = makeRelations(kSamples);
    const int fd = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (fd < 0) fail("/dev/null");
    {
        datmos::ByteOutput output(fd);
        std::size_t next = 0;
        for (auto _ : state) {
            write(output, std::span(relations).subspan(next, lines));
            next = (next + lines) & (kSamples - 1);
        }
        output.flush();
    }
    state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(lines));
    ::close(fd);
}

// One line per iteration.
void BM_writeRelation(benchmark::State& state) {
    timeRelationLines(state, 1, [](datmos::ByteOutput& output, std::span<const datmos::Relation> relations) {
        datmos::writeRelation(output, relations[0]);
    });
}
BENCHMARK(BM_writeRelation);

// Lines written in batches of 16384 relations, as the converter's writing
// thread does.
void BM_writeRelations(benchmark::State& state) {
    timeRelationLines(state, 16384, [](datmos::ByteOutput& output, std::span<const datmos::Relation> relations) {
        datmos::writeRelations(output, relations);
    });
}
BENCHMARK(BM_writeRelations);

// The names line for `people` people, to /dev/null.
void BM_writeHead(benchmark::State& state) {
    const auto people = static_cast<std::int32_t>(state.range(0));
    const int fd = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (fd < 0) fail("/dev/null");
    for (auto _ : state) {
        datmos::ByteOutput output(fd);
        datmos::writeHead(output, people);
        output.flush();
    }
    state.SetItemsProcessed(state.iterations() * people);
    ::close(fd);
}
BENCHMARK(BM_writeHead)->Arg(1000000)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
