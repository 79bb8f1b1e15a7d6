#!/usr/bin/env bash
# End-to-end benchmark of datmos-convert against a straightforward stdio
# converter and against the I/O floor, on seeded lists of every shape, and
# of the converter on one core against all of them.
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
#   --converter-only   time only the converter and the floor (the baseline
#                      still makes each reference data file once, untimed)
#   --regenerate       rebuild the cached inputs and reference data files
#   --verbose          print every round's times
#   --profile          afterwards, perf stat and perf record one converter run
#                      on each list of --shapes and print the top functions
#   --micro            afterwards, run the micro-benchmarks
#   --strict           exit with status 3 when a target is missed
#
# Each round runs, in turn: the converter, the stdio baseline and the I/O
# floor (cat of the input to /dev/null, then cat of a file of the data
# file's size into the data file's directory). Before every timed command
# all outputs are removed and sync is run. Every data file is compared
# byte for byte with the reference, the baseline's data file.
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
        --shapes|--lists|--scaling|--rounds|--warmup|--relations|--large-relations|--people|--names-people|--seed|--dir|--build-dir)
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
        -h|--help) usage 0 ;;
        *) echo "run.sh: unknown option $1" >&2; usage 2 ;;
    esac
done
for value in "$rounds" "$warmup" "$relations" "$largeRelations" "$people" "$namesPeople" "$seed"; do
    isCount "$value" || die "expected a non-negative integer, got '$value'" 2
done
((rounds >= 1)) || die "--rounds must be at least 1" 2
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
((${#timedShapes[@]} + ${#scalingShapes[@]} > 0)) || die "nothing to run" 2

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
        cmake --build "$buildDir" -j2 --target datmos-convert stdio_baseline generate_list micro_bench; } \
        >"$buildLog" 2>&1 || { cat "$buildLog" >&2; die "build failed (log: $buildLog)"; }
fi
converter="$buildDir/datmos-convert"
baseline="$buildDir/bench/stdio_baseline"
generator="$buildDir/bench/generate_list"
microBench="$buildDir/bench/micro_bench"
for program in "$converter" "$baseline" "$generator"; do
    [[ -x "$program" ]] || die "$program is not built (drop --skip-build)"
done

mkdir -p "$scratch"
scratch="$(cd "$scratch" && pwd)"
timeLog="$scratch/time.log"
failed=0
missed=0

# The input of a shape, cached by name: shape, sizes and seed.
inputOf() {  # shape
    case "$1" in
        large) echo "$scratch/short-r$largeRelations-p$people-s$seed.txt" ;;
        names) echo "$scratch/names-p$namesPeople-s$seed.txt" ;;
        *) echo "$scratch/$1-r$relations-p$people-s$seed.txt" ;;
    esac
}
# How the table names a list's size: 2M relations, 20M people.
sizeOf() {  # shape
    local count unit
    case "$1" in
        large) count=$largeRelations unit=relations ;;
        names) count=$namesPeople unit=people ;;
        *) count=$relations unit=relations ;;
    esac
    if ((count >= 1000000 && count % 1000000 == 0)); then
        echo "$((count / 1000000))M $unit"
    else
        echo "$count $unit"
    fi
}

# Generates an input once; a cached one is used as it is.
generate() {  # shape
    local path shape=$1 count=$relations listPeople=$people
    path=$(inputOf "$shape")
    case "$shape" in
        large) shape=short count=$largeRelations ;;
        names) shape=short count=0 listPeople=$namesPeople ;;
    esac
    if ((regenerate)) || [[ ! -s "$path" ]]; then
        echo "== generating $path"
        "$generator" --shape "$shape" "$path.part" "$count" "$listPeople" "$seed" || die "generation failed"
        mv "$path.part" "$path"
    fi
}

# The reference data file, made by the baseline, kept while the input and
# the baseline are older than it.
reference() {  # input
    local input="$1" ref="$1.reference"
    if ((regenerate)) || [[ ! -s "$ref" || "$input" -nt "$ref" || "$baseline" -nt "$ref" ]]; then
        echo "== making the reference data file $ref"
        "$baseline" "$input" "$ref.part" || die "the baseline failed on $input"
        mv "$ref.part" "$ref"
    fi
}

fileSize() { stat -c %s "$1"; }
megabytes() { awk -v b="$1" 'BEGIN { printf "%.1f", b / 1e6 }'; }

# Removes every output of the run and waits for the disk to settle.
quiet() {
    rm -f "$@"
    sync
}

# Runs a command under GNU time; sets wall and cpu (user + system) in
# seconds, rss (peak resident memory) in KiB and status.
# Standard output goes to the file named by $1, the rest is the command.
timed() {
    local stdoutFile="$1"
    shift
    local start end
    start=$EPOCHREALTIME
    set +e
    "$TIME" -f "%M %U %S" -o "$timeLog" "$@" >"$stdoutFile"
    status=$?
    set -e
    end=$EPOCHREALTIME
    wall=$(awk -v a="$start" -v b="$end" 'BEGIN { printf "%.6f", b - a }')
    local usage
    usage=$(tail -n 1 "$timeLog")
    rss=${usage%% *}
    cpu=$(awk -v u="$usage" 'BEGIN { split(u, f, " "); printf "%.2f", f[2] + f[3] }')
}

median() {  # numbers...
    printf '%s\n' "$@" | sort -g | awk '{ v[NR] = $1 } END {
        if (NR % 2) printf "%.6f", v[(NR + 1) / 2]; else printf "%.6f", (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}
minimum() { printf '%s\n' "$@" | sort -g | head -n 1; }
maximum() { printf '%s\n' "$@" | sort -g | tail -n 1; }

# Times the converter on the input (its data file is INPUT.datmos); checks
# its standard output and its data file against the reference.
runConverter() {  # label input reference [command prefix...]
    local label="$1" input="$2" ref="$3"
    shift 3
    timed "$scratch/converter.stdout" "$@" "$converter" "$input"
    if [[ "$(cat "$scratch/converter.stdout")" != "abriu" ]]; then
        echo "!! $label: standard output '$(cat "$scratch/converter.stdout")'" >&2
        failed=1
    fi
    if ! cmp -s "$input.datmos" "$ref"; then
        echo "!! $label: data file differs from the baseline's:" >&2
        cmp "$input.datmos" "$ref" >&2 || true
        failed=1
    fi
}

# One row of the final table per timed list.
tableRows=()

# Times one list: converter, baseline and floor in turn in every round.
benchList() {  # shape
    local shape="$1" input ref
    input=$(inputOf "$shape")
    ref="$input.reference"
    local baseOut="$scratch/baseline.datmos" floorOut="$scratch/floor.datmos"
    local outputs=("$input.datmos" "$baseOut" "$floorOut")
    local convWall=() convCpu=() convRss=() baseWall=() floorWall=() readWall=() writeWall=()

    # Bring the input and the reference into the page cache, and let every
    # program run once, untimed: the first runs on a fresh machine also pay
    # for memory the system has not touched yet.
    cat "$input" "$ref" >/dev/null
    local pass
    for ((pass = 1; pass <= warmup; pass++)); do
        quiet "${outputs[@]}"
        "$converter" "$input" >/dev/null || true
        if ((!converterOnly)); then
            quiet "${outputs[@]}"
            "$baseline" "$input" "$baseOut" || true
        fi
        quiet "${outputs[@]}"
        cat "$ref" >"$floorOut"
    done

    local round
    for ((round = 1; round <= rounds; round++)); do
        quiet "${outputs[@]}"
        runConverter "$shape, converter round $round" "$input" "$ref"
        convWall+=("$wall")
        convCpu+=("$cpu")
        convRss+=("$rss")

        if ((!converterOnly)); then
            quiet "${outputs[@]}"
            timed /dev/null "$baseline" "$input" "$baseOut"
            if ((status != 0)) || ! cmp -s "$baseOut" "$ref"; then
                echo "!! $shape, baseline round $round: failed or its data file differs from the reference" >&2
                failed=1
            fi
            baseWall+=("$wall")
        fi

        quiet "${outputs[@]}"
        timed /dev/null cat "$input"
        readWall+=("$wall")
        quiet "${outputs[@]}"
        timed "$floorOut" cat "$ref"
        writeWall+=("$wall")
        floorWall+=("$(awk -v a="${readWall[-1]}" -v b="$wall" 'BEGIN { printf "%.6f", a + b }')")

        if ((verbose)); then
            printf '   round %d: converter %.3f s' "$round" "${convWall[-1]}"
            ((converterOnly)) || printf ', baseline %.3f s' "${baseWall[-1]}"
            printf ', floor %.3f s (read %.3f + write %.3f)\n' "${floorWall[-1]}" "${readWall[-1]}" "${writeWall[-1]}"
        fi
    done
    quiet "${outputs[@]}"

    local convMed baseMed=- floorMed rssMiB
    convMed=$(median "${convWall[@]}")
    floorMed=$(median "${floorWall[@]}")
    ((converterOnly)) || baseMed=$(median "${baseWall[@]}")
    rssMiB=$(awk -v k="$(maximum "${convRss[@]}")" 'BEGIN { printf "%.1f", k / 1024 }')
    printf '   %s, %s: in %s MB, out %s MB; converter %.3f s (%.3f to %.3f, cpu %.2f s)' "$shape" "$(sizeOf "$shape")" \
        "$(megabytes "$(fileSize "$input")")" "$(megabytes "$(fileSize "$ref")")" \
        "$convMed" "$(minimum "${convWall[@]}")" "$(maximum "${convWall[@]}")" "$(median "${convCpu[@]}")"
    ((converterOnly)) || printf ', stdio %.3f s' "$baseMed"
    printf ', floor %.3f s (read %.3f + write %.3f)\n' "$floorMed" "$(median "${readWall[@]}")" "$(median "${writeWall[@]}")"
    tableRows+=("$shape|$(sizeOf "$shape")|$convMed|$baseMed|$floorMed|$rssMiB")
}

# The converter on one core (taskset) against all cores, in turns.
scalingRows=()
scaleList() {  # shape
    local shape="$1" input ref
    input=$(inputOf "$shape")
    ref="$input.reference"
    local allWall=() allCpu=() oneWall=() oneCpuTimes=() pass round
    cat "$input" "$ref" >/dev/null
    for ((pass = 1; pass <= warmup; pass++)); do
        quiet "$input.datmos"
        "$converter" "$input" >/dev/null || true
        quiet "$input.datmos"
        taskset -c "$oneCpu" "$converter" "$input" >/dev/null || true
    done
    for ((round = 1; round <= rounds; round++)); do
        quiet "$input.datmos"
        runConverter "$shape, converter on all cores, round $round" "$input" "$ref"
        allWall+=("$wall")
        allCpu+=("$cpu")
        quiet "$input.datmos"
        runConverter "$shape, converter on one core, round $round" "$input" "$ref" taskset -c "$oneCpu"
        oneWall+=("$wall")
        oneCpuTimes+=("$cpu")
        if ((verbose)); then
            printf '   round %d: all cores %.3f s, one core %.3f s\n' "$round" "${allWall[-1]}" "${oneWall[-1]}"
        fi
    done
    quiet "$input.datmos"
    scalingRows+=("$shape|$(sizeOf "$shape")|$(median "${allWall[@]}")|$(median "${allCpu[@]}")|$(median "${oneWall[@]}")|$(median "${oneCpuTimes[@]}")")
}

profileList() {  # shape
    local shape="$1" input
    input=$(inputOf "$shape")
    echo
    echo "== profile of the converter, $shape ($(sizeOf "$shape"))"
    quiet "$input.datmos"
    # Both perf commands end with the converter's exit status, which is 1.
    perf stat -e task-clock,context-switches,page-faults,cycles:u,instructions:u \
        "$converter" "$input" 2>&1 >/dev/null | sed -n '/Performance counter/,$p' || true
    quiet "$input.datmos"
    rm -f "$scratch/perf.data"
    # A software clock, so that it also works where no hardware counters are.
    perf record -q -o "$scratch/perf.data" -e cpu-clock:u -F 2000 "$converter" "$input" >/dev/null \
        2>"$scratch/perf.log" || true
    if [[ ! -s "$scratch/perf.data" ]]; then
        cat "$scratch/perf.log" >&2
        return
    fi
    perf report -q -i "$scratch/perf.data" --no-children --sort symbol --percent-limit 1 2>/dev/null | head -n 25 || true
    quiet "$input.datmos" "$scratch/perf.data" "$scratch/perf.data.old"
}

echo "== scratch directory $scratch"
echo "== load average at start: $(cut -d ' ' -f 1-3 /proc/loadavg) ($(nproc) CPUs); other work on the machine skews the times"
startTime=$EPOCHREALTIME
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
echo "== summary (medians of $rounds rounds; load average now $(cut -d ' ' -f 1-3 /proc/loadavg); $(awk -v a="$startTime" -v b="$EPOCHREALTIME" 'BEGIN { printf "%.0f", b - a }') s)"
if ((${#tableRows[@]})); then
    echo "targets: stdio/converter >= 15x and converter/floor <= 2x (hex: >= 10x and <= 3x), peak RSS <= 32 MiB"
    printf '%-10s %-15s %8s %8s %8s %11s %11s %8s  %s\n' \
        shape list "conv s" "stdio s" "floor s" stdio/conv conv/floor "RSS MiB" targets
    for row in "${tableRows[@]}"; do
        IFS='|' read -r shape size convMed baseMed floorMed rssMiB <<<"$row"
        minSpeedup=15 maxFloor=2
        [[ "$shape" == hex ]] && minSpeedup=10 maxFloor=3
        line=$(awk -v shape="$shape" -v size="$size" -v c="$convMed" -v b="$baseMed" -v f="$floorMed" -v m="$rssMiB" \
            -v lo="$minSpeedup" -v hi="$maxFloor" 'BEGIN {
                missing = ""
                if (b == "-") { stdio = "-"; speedup = "-" }
                else {
                    stdio = sprintf("%.3f", b); r = b / c; speedup = sprintf("%.1fx", r)
                    if (r < lo) missing = missing sprintf(" stdio/conv<%dx", lo)
                }
                q = c / f
                if (q > hi) missing = missing sprintf(" conv/floor>%dx", hi)
                if (m > 32) missing = missing " RSS>32MiB"
                printf "%-10s %-15s %8.3f %8s %8.3f %11s %10.2fx %8.1f  %s\n", shape, size, c, stdio, f, speedup, q, m,
                    missing == "" ? "met" : "MISSED:" missing }')
        [[ "$line" == *MISSED* ]] && missed=1
        echo "$line"
    done
fi
if ((${#scalingRows[@]})); then
    echo
    echo "one core against all: converter under taskset -c $oneCpu against $cores cores; target one/all >= 1.8x"
    printf '%-10s %-15s %11s %8s %11s %8s %8s  %s\n' shape list "all cores s" "cpu s" "one core s" "cpu s" one/all target
    for row in "${scalingRows[@]}"; do
        IFS='|' read -r shape size allMed allCpu oneMed oneCpuTime <<<"$row"
        line=$(awk -v shape="$shape" -v size="$size" -v a="$allMed" -v ac="$allCpu" -v o="$oneMed" -v oc="$oneCpuTime" 'BEGIN {
            r = o / a
            verdict = r >= 1.8 ? "met" : "MISSED"
            printf "%-10s %-15s %11.3f %8.2f %11.3f %8.2f %7.2fx  %s\n", shape, size, a, ac, o, oc, r, verdict }')
        [[ "$line" == *MISSED* ]] && missed=1
        echo "$line"
    done
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
