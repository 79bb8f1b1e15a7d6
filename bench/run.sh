#!/usr/bin/env bash
# End-to-end benchmark of datmos-convert against a straightforward stdio
# converter and against the I/O floor, on seeded inputs.
#
# Needs, on Debian 12:  apt-get install -y cmake g++ libbenchmark-dev time
# (and optionally linux-perf for --profile).
#
# Usage: bench/run.sh [options]
#   --rounds N         timed rounds per list (default 5)
#   --warmup N         untimed rounds before them (default 1)
#   --relations N      relations in the large list (default 10000000)
#   --people N         people of the large list (default 1000000)
#   --names-people N   people of the names-only list (default 20000000)
#   --seed N           generator seed (default 20240611)
#   --lists WHICH      relations, names or both (default both)
#   --dir DIR          scratch directory for inputs and outputs
#                      (default $DATMOS_BENCH_DIR, else ${TMPDIR:-/tmp}/datmos-bench)
#   --build-dir DIR    build directory (default <repository>/build-bench)
#   --skip-build       use the programs already built in the build directory
#   --converter-only   time only the converter and the floor (the baseline
#                      still makes the reference data file once, untimed)
#   --regenerate       rebuild the cached inputs and reference data files
#   --profile          afterwards, perf stat and perf record one converter run
#                      on each list and print the top functions
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

rounds=5
warmup=1
relations=10000000
people=1000000
namesPeople=20000000
seed=20240611
lists=both
scratch="${DATMOS_BENCH_DIR:-${TMPDIR:-/tmp}/datmos-bench}"
repo="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
buildDir="$repo/build-bench"
skipBuild=0
converterOnly=0
regenerate=0
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
        --rounds|--warmup|--relations|--people|--names-people|--seed|--lists|--dir|--build-dir)
            (($# >= 2)) || die "$1 needs a value" 2 ;;
    esac
    case "$1" in
        --rounds) rounds="${2:-}"; shift 2 ;;
        --warmup) warmup="${2:-}"; shift 2 ;;
        --relations) relations="${2:-}"; shift 2 ;;
        --people) people="${2:-}"; shift 2 ;;
        --names-people) namesPeople="${2:-}"; shift 2 ;;
        --seed) seed="${2:-}"; shift 2 ;;
        --lists) lists="${2:-}"; shift 2 ;;
        --dir) scratch="${2:-}"; shift 2 ;;
        --build-dir) buildDir="${2:-}"; shift 2 ;;
        --skip-build) skipBuild=1; shift ;;
        --converter-only) converterOnly=1; shift ;;
        --regenerate) regenerate=1; shift ;;
        --profile) profile=1; shift ;;
        --micro) micro=1; shift ;;
        --strict) strict=1; shift ;;
        -h|--help) usage 0 ;;
        *) echo "run.sh: unknown option $1" >&2; usage 2 ;;
    esac
done
for value in "$rounds" "$warmup" "$relations" "$people" "$namesPeople" "$seed"; do
    isCount "$value" || die "expected a non-negative integer, got '$value'" 2
done
((rounds >= 1)) || die "--rounds must be at least 1" 2
case "$lists" in relations|names|both) ;; *) die "--lists takes relations, names or both" 2 ;; esac
[[ -n "$scratch" ]] || die "--dir needs a directory" 2

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

# Generates an input once per (relations, people, seed): cached by name.
generate() {  # path relations people
    local path="$1"
    if ((regenerate)) || [[ ! -s "$path" ]]; then
        echo "== generating $path"
        "$generator" "$path.part" "$2" "$3" "$seed" || die "generation failed"
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
maximum() { printf '%s\n' "$@" | sort -g | tail -n 1; }

# Benchmarks one list; appends its summary lines to the global summary.
summary=()
benchList() {  # title input
    local title="$1" input="$2"
    local ref="$input.reference"
    local convOut="$input.datmos" baseOut="$scratch/baseline.datmos" floorOut="$scratch/floor.datmos"
    local outputs=("$convOut" "$baseOut" "$floorOut")
    local inBytes outBytes
    inBytes=$(fileSize "$input")
    outBytes=$(fileSize "$ref")
    local convWall=() convCpu=() convRss=() baseWall=() baseCpu=() baseRss=()
    local readWall=() writeWall=() floorWall=() floorCpu=() floorRss=()

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
        timed "$scratch/converter.stdout" "$converter" "$input"
        if [[ "$(cat "$scratch/converter.stdout")" != "abriu" ]]; then
            echo "!! converter round $round: standard output '$(cat "$scratch/converter.stdout")'" >&2
            failed=1
        fi
        if ! cmp -s "$convOut" "$ref"; then
            echo "!! converter round $round: data file differs from the baseline's:" >&2
            cmp "$convOut" "$ref" >&2 || true
            failed=1
        fi
        convWall+=("$wall")
        convCpu+=("$cpu")
        convRss+=("$rss")

        if ((!converterOnly)); then
            quiet "${outputs[@]}"
            timed /dev/null "$baseline" "$input" "$baseOut"
            if ((status != 0)) || ! cmp -s "$baseOut" "$ref"; then
                echo "!! baseline round $round: failed or its data file differs from the reference" >&2
                failed=1
            fi
            baseWall+=("$wall")
            baseCpu+=("$cpu")
            baseRss+=("$rss")
        fi

        quiet "${outputs[@]}"
        timed /dev/null cat "$input"
        readWall+=("$wall")
        local readRss="$rss" readCpu="$cpu"
        quiet "${outputs[@]}"
        timed "$floorOut" cat "$ref"
        writeWall+=("$wall")
        floorWall+=("$(awk -v a="${readWall[-1]}" -v b="$wall" 'BEGIN { printf "%.6f", a + b }')")
        floorCpu+=("$(awk -v a="$readCpu" -v b="$cpu" 'BEGIN { printf "%.2f", a + b }')")
        floorRss+=("$(maximum "$readRss" "$rss")")

        printf '   round %d: converter %.3f s' "$round" "${convWall[-1]}"
        ((converterOnly)) || printf ', baseline %.3f s' "${baseWall[-1]}"
        printf ', floor %.3f s (read %.3f + write %.3f)\n' "${floorWall[-1]}" "${readWall[-1]}" "${writeWall[-1]}"
    done
    quiet "${outputs[@]}"

    local convMed baseMed floorMed readMed writeMed
    convMed=$(median "${convWall[@]}")
    floorMed=$(median "${floorWall[@]}")
    readMed=$(median "${readWall[@]}")
    writeMed=$(median "${writeWall[@]}")
    ((converterOnly)) || baseMed=$(median "${baseWall[@]}")

    echo
    echo "$title: $(basename "$input")"
    printf '  input %.1f MB, data file %.1f MB, %d rounds\n' \
        "$(awk -v b="$inBytes" 'BEGIN { print b / 1e6 }')" "$(awk -v b="$outBytes" 'BEGIN { print b / 1e6 }')" "$rounds"
    printf '  %-22s %9s %7s %7s %9s %9s %9s %9s\n' \
        program "median s" "min s" "max s" "in MB/s" "out MB/s" "cpu s" "peak MiB"
    row() {  # name median walls-var cpu-var rss-var
        local -n walls=$3 cpuValues=$4 rssValues=$5
        awk -v name="$1" -v med="$2" -v lo="$(printf '%s\n' "${walls[@]}" | sort -g | head -n 1)" \
            -v hi="$(maximum "${walls[@]}")" -v inB="$inBytes" -v outB="$outBytes" \
            -v cpu="$(median "${cpuValues[@]}")" -v rss="$(maximum "${rssValues[@]}")" \
            'BEGIN { inRate = inB >= 1e6 ? sprintf("%.1f", inB / 1e6 / med) : "-"
                     printf "  %-22s %9.3f %7.3f %7.3f %9s %9.1f %9.2f %9.1f\n",
                     name, med, lo, hi, inRate, outB / 1e6 / med, cpu, rss / 1024 }'
    }
    row converter "$convMed" convWall convCpu convRss
    ((converterOnly)) || row "stdio baseline" "$baseMed" baseWall baseCpu baseRss
    row "I/O floor (read+write)" "$floorMed" floorWall floorCpu floorRss
    printf '  %-22s %9.3f\n' "  floor: cat input" "$readMed"
    printf '  %-22s %9.3f\n' "  floor: cat data file" "$writeMed"

    local verdict line
    if ((!converterOnly)); then
        line=$(awk -v b="$baseMed" -v c="$convMed" 'BEGIN { r = b / c; printf "%.1f %s", r, (r >= 15 ? "met" : "MISSED") }')
        verdict=${line#* }
        [[ "$verdict" == met ]] || missed=1
        summary+=("$title: baseline/converter = ${line% *}x (target >= 15x): $verdict")
    fi
    line=$(awk -v c="$convMed" -v f="$floorMed" 'BEGIN { r = c / f; printf "%.2f %s", r, (r <= 2 ? "met" : "MISSED") }')
    verdict=${line#* }
    [[ "$verdict" == met ]] || missed=1
    summary+=("$title: converter/floor = ${line% *}x (target <= 2x): $verdict")
    line=$(awk -v k="$(maximum "${convRss[@]}")" 'BEGIN { m = k / 1024; printf "%.1f %s", m, (m <= 32 ? "met" : "MISSED") }')
    verdict=${line#* }
    [[ "$verdict" == met ]] || missed=1
    summary+=("$title: converter peak RSS = ${line% *} MiB (target <= 32 MiB): $verdict")
}

profileList() {  # title input
    local title="$1" input="$2"
    echo
    echo "== profile of the converter, $title"
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

relationsInput="$scratch/list-r$relations-p$people-s$seed.txt"
namesInput="$scratch/names-p$namesPeople-s$seed.txt"
echo "== scratch directory $scratch"
echo "== load average at start: $(cut -d ' ' -f 1-3 /proc/loadavg) ($(nproc) CPUs); other work on the machine skews the times"
if [[ "$lists" != names ]]; then
    generate "$relationsInput" "$relations" "$people"
    reference "$relationsInput"
fi
if [[ "$lists" != relations ]]; then
    generate "$namesInput" 0 "$namesPeople"
    reference "$namesInput"
fi

echo "== $warmup warm-up and $rounds timed rounds: converter$( ((converterOnly)) || echo ', stdio baseline'), I/O floor"
if [[ "$lists" != names ]]; then
    echo "-- $relations relations, people $people"
    benchList "Relations list" "$relationsInput"
fi
if [[ "$lists" != relations ]]; then
    echo
    echo "-- names only, people $namesPeople"
    benchList "Names-only list" "$namesInput"
fi

echo
echo "== summary (medians; load average now $(cut -d ' ' -f 1-3 /proc/loadavg))"
printf '  %s\n' "${summary[@]}"
if ((failed)); then
    echo "  data files: MISMATCH or failed run (see above)"
else
    echo "  data files: converter and baseline identical in every round"
fi

if ((profile)); then
    [[ "$lists" != names ]] && profileList "relations list" "$relationsInput"
    [[ "$lists" != relations ]] && profileList "names-only list" "$namesInput"
fi
if ((micro)); then
    echo
    echo "== micro-benchmarks"
    "$microBench"
fi

((failed)) && exit 1
((strict && missed)) && exit 3
exit 0
