#!/usr/bin/env bash
# Builds the fuzz target with clang into build-fuzz, replays the regression
# inputs and the seed corpus, then fuzzes for the given number of seconds
# (0: replay only). Exits non-zero on any finding, whose input is saved in
# fuzz/findings/. Usage: fuzz/run.sh SECONDS
# FUZZ_CXX names the compiler (clang++-14); FUZZ_SOURCE_DIR a copy of src/
# to fuzz instead, for instance to try a fix.
set -euo pipefail
cd "$(dirname "$0")/.."

duration=${1:?usage: fuzz/run.sh SECONDS}
case $duration in
    '' | *[!0-9]*) echo "usage: fuzz/run.sh SECONDS" >&2; exit 2 ;;
esac

compiler=${FUZZ_CXX:-clang++-14}
build=build-fuzz
findings=fuzz/findings
target=$build/relation_list_fuzz
log=$build/fuzz.log
generator=()
command -v ninja >/dev/null && generator=(-G Ninja)

if ! command -v "$compiler" >/dev/null; then
    echo "fuzz: $compiler not found (Debian packages clang-14 and libclang-rt-14-dev)" >&2
    exit 2
fi
cmake -S fuzz -B "$build" "${generator[@]}" -DCMAKE_CXX_COMPILER="$compiler" \
    -DDATMOS_SOURCE_DIR="${FUZZ_SOURCE_DIR:-$PWD/src}" >/dev/null
cmake --build "$build" -j2 >"$build/build.log" 2>&1 || { cat "$build/build.log" >&2; exit 2; }

mkdir -p "$build/corpus" "$findings"
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
options=(-max_len=4096 -timeout=10 -rss_limit_mb=2048 -dict=fuzz/relation_list.dict
         -artifact_prefix="$findings/" -print_final_stats=1)

finding() {
    grep -vE '^(#[0-9]+|INFO:|")' "$log" | tail -n 60 >&2
    echo "fuzz: FAILED: $1; the log is $log, new crash inputs go to $findings/" >&2
    exit 1
}

# Every input that once failed must keep passing.
regressions=(fuzz/regressions/*)
[ -e "${regressions[0]}" ] || regressions=()
if [ ${#regressions[@]} -gt 0 ]; then
    "$target" "${options[@]}" "${regressions[@]}" >"$log" 2>&1 || finding "an input of fuzz/regressions/ fails"
fi

if [ "$duration" -eq 0 ]; then
    "$target" "${options[@]}" -runs=0 "$build/corpus" fuzz/corpus >"$log" 2>&1 || finding "a corpus input fails"
    echo "fuzz: replayed $(ls fuzz/corpus | wc -l) seeds, $(ls "$build/corpus" | wc -l) saved inputs and ${#regressions[@]} regressions, no findings"
    exit 0
fi

# New inputs go to build-fuzz/corpus; fuzz/corpus holds the seeds only.
timeout $((duration + 300)) "$target" "${options[@]}" -max_total_time="$duration" \
    "$build/corpus" fuzz/corpus >"$log" 2>&1 || finding "exit status $?"

stat() { sed -n "s/^stat::$1: *//p" "$log"; }
coverage=$(grep -oE 'cov: [0-9]+' "$log" | tail -n 1 | cut -d' ' -f2)
echo "fuzz: ${duration} s, $(stat number_of_executed_units) runs ($(stat average_exec_per_sec)/s)," \
     "coverage ${coverage:-?} edges, corpus $(ls "$build/corpus" | wc -l) inputs," \
     "${#regressions[@]} regressions passed, no findings"
