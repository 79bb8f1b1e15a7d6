#!/usr/bin/env bash
# End-to-end benchmark of datmos-convert against a straightforward stdio
# converter and against the I/O floor, on seeded lists of every shape, and
# of the converter on one core against all of them; first, the per-file
# latency of small lists. The timed runs of the big lists are in
# big_lists.sh, those of the small ones in latency.sh, the final tables in
# summary.sh.
#
# Needs, on Debian 12:  apt-get install -y cmake g++ libbenchmark-dev time
# (taskset comes with util-linux; linux-perf only for --profile).
#
# Usage: bench/run.sh [options]
#   --shapes LIST      comma-separated lists to time (default all): short,
#                      integer, tabs, column, negative, full, exponent,
#                      fractions, persons, hex (each with --relations
#                      relations), large (short decimals with
#                      --large-relations relations) and names (the header
#                      alone, --names-people people)
#   --lists WHICH      relations, names or both: the same as --shapes large,
#                      names or large,names
#   --scaling LIST     lists on which the converter runs under taskset on one
#                      core and on all cores (default short,full; none: skip)
#   --rounds N         timed rounds per list (default 5)
#   --warmup N         untimed rounds before them (default 1)
#   --relations N      relations per shape list (default 2000000)
#   --large-relations N  relations of the large list (default 10000000)
#   --people N         people of the relation lists (default 1000000)
#   --names-people N   people of the names-only list (default 20000000)
#   --seed N           generator seed (default 20240611)
#   --dir DIR          scratch directory for inputs and outputs, about 2 GB
#                      by default (default $DATMOS_BENCH_DIR, else
#                      ${TMPDIR:-/tmp}/datmos-bench)
#   --build-dir DIR    build directory (default <repository>/build-bench)
#   --skip-build       use the programs already built in the build directory
#   --converter-only   time only the converter and the floor on the big lists
#                      (the baseline still makes each reference data file
#                      once, untimed)
#   --regenerate       rebuild the cached inputs and reference data files
#   --verbose          print every round's times
#   --profile          afterwards, perf stat and perf record one converter run
#                      on each list of --shapes and print the top functions
#   --micro            afterwards, run the micro-benchmarks
#   --latency-only     only the per-file latency of the small lists
#   --no-latency       no per-file latency
#   --latency-rounds N timed rounds of each small list (default 60)
#   --vs-converter PATH  also time this converter (a build of an earlier
#                      commit, say) in every round of every table but the
#                      one-core one, its data files checked too; the tables
#                      gain its time and the ratio converter / other
#   --strict           exit with status 3 when a target is missed
#
# Each round runs, in turn: the converter, the stdio baseline and the I/O
# floor (cat of the input to /dev/null, then cat of a file of the data
# file's size into the data file's directory). Before every timed command
# all outputs are removed and sync is run. Every data file is compared
# byte for byte with the reference, the baseline's data file. The small
# lists are timed by latency_bench (bench/README.md).
#
# Exit status: 0 when every run succeeded and every data file matched,
# 1 on a failure or a mismatch, 2 on bad usage or a missing tool, 3 with
# --strict when a target was missed.
set -euo pipefail
export LC_ALL=C

allShapes=(short integer tabs column negative full exponent fractions persons hex large names)
shapes=all
scaling=short,full
rounds=5
warmup=1
relations=2000000
largeRelations=10000000
people=1000000
namesPeople=20000000
seed=20240611
scratch="${DATMOS_BENCH_DIR:-${TMPDIR:-/tmp}/datmos-bench}"
repo="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
buildDir="$repo/build-bench"
skipBuild=0
converterOnly=0
regenerate=0
verbose=0
profile=0
micro=0
strict=0
latency=1
latencyRounds=60
otherConverter=

usage() {  # exit status
    sed -n '/^# Usage:/,/^#   --strict/p' "${BASH_SOURCE[0]}" | sed 's/^# \{0,1\}//' >&2
    exit "$1"
}
die() {  # message [exit status]
    echo "run.sh: $1" >&2
    exit "${2:-1}"
}
isCount() { [[ "$1" =~ ^[0-9]+$ ]]; }

while (($#)); do
    case "$1" in
        --shapes|--lists|--scaling|--rounds|--warmup|--relations|--large-relations|--people|--names-people|--seed|--dir|\
        --build-dir|--latency-rounds|--vs-converter)
            (($# >= 2)) || die "$1 needs a value" 2 ;;
    esac
    case "$1" in
        --shapes) shapes="$2"; shift 2 ;;
        --lists)
            case "$2" in
                relations) shapes=large ;;
                names) shapes=names ;;
                both) shapes=large,names ;;
                *) die "--lists takes relations, names or both" 2 ;;
            esac
            shift 2 ;;
        --scaling) scaling="$2"; shift 2 ;;
        --rounds) rounds="$2"; shift 2 ;;
        --warmup) warmup="$2"; shift 2 ;;
        --relations) relations="$2"; shift 2 ;;
        --large-relations) largeRelations="$2"; shift 2 ;;
        --people) people="$2"; shift 2 ;;
        --names-people) namesPeople="$2"; shift 2 ;;
        --seed) seed="$2"; shift 2 ;;
        --dir) scratch="$2"; shift 2 ;;
        --build-dir) buildDir="$2"; shift 2 ;;
        --skip-build) skipBuild=1; shift ;;
        --converter-only) converterOnly=1; shift ;;
        --regenerate) regenerate=1; shift ;;
        --verbose) verbose=1; shift ;;
        --profile) profile=1; shift ;;
        --micro) micro=1; shift ;;
        --strict) strict=1; shift ;;
        --latency-only) shapes=none scaling=none latency=1; shift ;;
        --no-latency) latency=0; shift ;;
        --latency-rounds) latencyRounds="$2"; shift 2 ;;
        --vs-converter) otherConverter="$2"; shift 2 ;;
        -h|--help) usage 0 ;;
        *) echo "run.sh: unknown option $1" >&2; usage 2 ;;
    esac
done
for value in "$rounds" "$warmup" "$relations" "$largeRelations" "$people" "$namesPeople" "$seed" "$latencyRounds"; do
    isCount "$value" || die "expected a non-negative integer, got '$value'" 2
done
((rounds >= 1 && latencyRounds >= 1)) || die "--rounds and --latency-rounds must be at least 1" 2
((people >= 1)) || die "--people must be at least 1" 2
[[ -n "$scratch" ]] || die "--dir needs a directory" 2

# Splits a comma-separated list of shapes into the named array, in the
# order of allShapes, refusing unknown names.
pickShapes() {  # text array-name
    local -n picked=$2
    picked=()
    [[ "$1" == none ]] && return
    local name known shape
    for name in ${1//,/ }; do
        [[ "$name" == all ]] && continue
        known=0
        for shape in "${allShapes[@]}"; do [[ "$shape" == "$name" ]] && known=1; done
        ((known)) || die "unknown shape '$name' (known: ${allShapes[*]}, all, none)" 2
    done
    for shape in "${allShapes[@]}"; do
        [[ ",$1," == *",all,"* || ",$1," == *",$shape,"* ]] && picked+=("$shape")
    done
    return 0
}
timedShapes=()
scalingShapes=()
pickShapes "$shapes" timedShapes
pickShapes "$scaling" scalingShapes
((${#timedShapes[@]} + ${#scalingShapes[@]} + latency > 0)) || die "nothing to run" 2
if [[ -n "$otherConverter" ]]; then
    [[ -x "$otherConverter" && ! -d "$otherConverter" ]] || die "--vs-converter: $otherConverter is not a program" 2
    otherConverter="$(cd "$(dirname "$otherConverter")" && pwd)/$(basename "$otherConverter")"
fi

# Tools. GNU time gives the peak resident memory; the wall time comes from
# bash's microsecond clock around it.
TIME=/usr/bin/time
[[ -x "$TIME" ]] || die "$TIME not found: apt-get install -y time" 2
for tool in cmp sync awk sort cat; do
    command -v "$tool" >/dev/null || die "$tool not found" 2
done
((BASH_VERSINFO[0] >= 5)) || die "needs bash 5 or later (for EPOCHREALTIME)" 2
if ((!skipBuild)); then
    command -v cmake >/dev/null || die "cmake not found: apt-get install -y cmake" 2
    command -v g++ >/dev/null || die "g++ not found: apt-get install -y g++" 2
fi
if ((${#scalingShapes[@]})); then
    command -v taskset >/dev/null || die "taskset not found: apt-get install -y util-linux" 2
fi
if ((profile)); then
    command -v perf >/dev/null || die "perf not found: apt-get install -y linux-perf" 2
fi

# Build in Release.
if ((!skipBuild)); then
    echo "== building (Release) in $buildDir"
    mkdir -p "$buildDir"
    buildLog="$buildDir/bench-build.log"
    { cmake -S "$repo" -B "$buildDir" -DCMAKE_BUILD_TYPE=Release -DDATMOS_BENCH=ON -DDATMOS_TESTS=OFF &&
        cmake --build "$buildDir" -j2 --target datmos-convert stdio_baseline generate_list micro_bench \
            small_file_floor latency_bench; } \
        >"$buildLog" 2>&1 || { cat "$buildLog" >&2; die "build failed (log: $buildLog)"; }
fi
converter="$buildDir/datmos-convert"
baseline="$buildDir/bench/stdio_baseline"
generator="$buildDir/bench/generate_list"
microBench="$buildDir/bench/micro_bench"
floor="$buildDir/bench/small_file_floor"
latencyBench="$buildDir/bench/latency_bench"
programs=("$converter" "$baseline" "$generator")
((latency)) && programs+=("$floor" "$latencyBench")
for program in "${programs[@]}"; do
    [[ -x "$program" ]] || die "$program is not built (drop --skip-build)"
done

mkdir -p "$scratch"
scratch="$(cd "$scratch" && pwd)"
timeLog="$scratch/time.log"
failed=0
missed=0

source "$repo/bench/big_lists.sh"
source "$repo/bench/latency.sh"
source "$repo/bench/summary.sh"

echo "== scratch directory $scratch"
echo "== load average at start: $(cut -d ' ' -f 1-3 /proc/loadavg) ($(nproc) CPUs); other work on the machine skews the times"
startTime=$EPOCHREALTIME
# The small lists first, while the disk has no big data file to write back.
((latency)) && timeLatency
for shape in "${allShapes[@]}"; do
    if [[ " ${timedShapes[*]} ${scalingShapes[*]} " == *" $shape "* ]]; then
        generate "$shape"
        reference "$(inputOf "$shape")"
    fi
done

if ((${#timedShapes[@]})); then
    echo "== $warmup warm-up and $rounds timed rounds per list, in turn: converter$( ((converterOnly)) || echo ', stdio baseline'), I/O floor"
    for shape in "${timedShapes[@]}"; do
        benchList "$shape"
    done
fi

if ((${#scalingShapes[@]})); then
    # The first CPU that this shell may run on.
    oneCpu=$(taskset -pc $$ | sed 's/.*: *//; s/[-,].*//')
    cores=$(nproc)
    echo "== $warmup warm-up and $rounds timed rounds per list, in turn: converter on $cores cores, converter under taskset -c $oneCpu"
    ((cores > 1)) || echo "   only one CPU: the ratio says nothing about scaling"
    for shape in "${scalingShapes[@]}"; do
        scaleList "$shape"
        row=${scalingRows[-1]}
        IFS='|' read -r _ _ allMed _ oneMed _ <<<"$row"
        printf '   %s, %s: all cores %.3f s, one core %.3f s\n' "$shape" "$(sizeOf "$shape")" "$allMed" "$oneMed"
    done
fi

echo
echo "== summary (load average now $(cut -d ' ' -f 1-3 /proc/loadavg); $(awk -v a="$startTime" -v b="$EPOCHREALTIME" 'BEGIN { printf "%.0f", b - a }') s)"
if ((${#tableRows[@]})); then
    printListTable
fi
if ((latency)); then
    ((${#tableRows[@]})) && echo
    printLatencyTable
fi
if ((${#scalingRows[@]})); then
    echo
    printScalingTable
fi
echo
if ((failed)); then
    echo "data files: MISMATCH or failed run (see above)"
else
    echo "data files: identical to the baseline's in every round"
fi
echo "scratch directory: $(du -sm "$scratch" | cut -f 1) MB in $scratch"

if ((profile)); then
    for shape in "${timedShapes[@]}"; do
        profileList "$shape"
    done
fi
if ((micro)); then
    echo
    echo "== micro-benchmarks"
    "$microBench"
fi

((failed)) && exit 1
((strict && missed)) && exit 3
exit 0
