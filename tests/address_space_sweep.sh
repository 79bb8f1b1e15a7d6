#!/usr/bin/env bash
# Converts a 120,000- and a 1,000,000-relation list, read from a file and
# from a named pipe, into a new data file and into an earlier one with a
# second hard link (written in place), under every address space limit
# from 1.5 MiB to 16 MiB in steps of 256 KiB. Every run must end through
# exit with status 1 (or, under the least limits, not start at all: the
# dynamic loader can't map the C library there); a run that fails must leave the earlier data file as
# it was and nothing else; once a limit converts, every larger one must
# convert, byte for byte as without a limit; within 16 MiB, every one
# converts but a piped list written in place, whose data file is held in
# memory until the list has been read. That one's need also varies from
# run to run with how the writer's bytes arrive (how many chunks are in
# flight at once): near its least limit it may convert at one and not at
# the next, so only each run's own outcome is checked there.
# Usage: tests/address_space_sweep.sh PROGRAM [SCRATCH_DIR]
set -uo pipefail

program=$(realpath "${1:?usage: tests/address_space_sweep.sh PROGRAM [SCRATCH_DIR]}")
dir=$(mktemp -d "${2:-${TMPDIR:-/tmp}}/datmos-sweep.XXXXXX")
trap 'rm -rf "$dir"' EXIT
cd "$dir" || exit 2

# Relations of varied widths, so that the long list needs a team.
make_list() {
    awk -v n="$1" 'BEGIN { print 5000, n; for (i = 0; i < n; ++i) printf "%d %d 0.%d\n", i % 5000, (i * 7) % 5000, i % 9973 }'
}
make_list 120000 >list120k
make_list 1000000 >list1m
earlier='earlier data file'

# Runs happen in subshells: a fault is noted in a file.
fail() {
    echo "address_space_sweep: $*" | tee -a "$dir/faults" >&2
}

# One run under `limit` KiB: prints "converted" or "refused", or reports a fault.
run_once() {  # list source place limit
    local list=$1 source=$2 place=$3 limit=$4 status out writer
    rm -rf work && mkdir work
    printf '%s' "$earlier" >work/g.txt.datmos
    if [ "$place" = in-place ]; then ln work/g.txt.datmos work/link; fi
    if [ "$source" = pipe ]; then
        mkfifo work/g.txt
        # Its own output leads elsewhere before it opens the pipe, so that a
        # writer left waiting for a reader holds nothing of this function's.
        timeout 60 sh -c 'cat "$1" >"$2"' sh "$list" work/g.txt >/dev/null 2>&1 &
        writer=$!
    else
        cp "$list" work/g.txt
    fi
    out=$(cd work && ulimit -v "$limit" && exec "$program" g.txt 2>"$dir/stderr")
    status=$?
    if [ "$source" = pipe ]; then kill "$writer" 2>/dev/null; fi
    local what="$list from a $source, $place, ${limit} KiB"
    if [ "$status" -eq 127 ] && [ -z "$out" ] && grep -q 'error while loading shared libraries' "$dir/stderr"; then
        :  # never started: what it leaves is checked below
    elif [ "$status" -ne 1 ]; then
        fail "$what: status $status (a signal above 128): $out"
    elif [ "$out" = abriu ]; then
        cmp -s work/g.txt.datmos "$list.datmos" || fail "$what: the data file differs"
        if [ "$place" = in-place ]; then cmp -s work/link "$list.datmos" || fail "$what: the other link differs"; fi
        echo converted
        return
    elif [[ "$out" != abriu* ]] && [ "$status" -ne 127 ]; then
        fail "$what: unexpected output: $out"
    elif [ "$(cat work/g.txt.datmos)" != "$earlier" ]; then
        fail "$what: the earlier data file was changed ($(stat -c %s work/g.txt.datmos) bytes) after: $out"
    fi
    local names expected="g.txt g.txt.datmos "
    names=$(ls -A work | tr '\n' ' ')
    if [ "$place" = in-place ]; then expected+="link "; fi
    [ "$names" = "$expected" ] || fail "$what: left $names"
    echo refused
}

for list in list120k list1m; do
    "$program" "$list" >/dev/null
    for source in file pipe; do
        for place in new in-place; do
            first=""
            for ((limit = 1536; limit <= 16384; limit += 256)); do
                result=$(run_once "$list" "$source" "$place" "$limit")
                if [ "$result" = converted ] && [ -z "$first" ]; then first=$limit; fi
                if [ "$result" = refused ] && [ -n "$first" ] && [ "$source-$place" != pipe-in-place ]; then
                    fail "$list from a $source, $place: converts at $first KiB but not at $limit KiB"
                fi
            done
            echo "$list from a $source, $place: converts from ${first:-none} KiB on"
            if [ -z "$first" ] && [ "$source-$place" != pipe-in-place ]; then
                fail "$list from a $source, $place: no limit up to 16 MiB converts"
            fi
        done
    done
done
[ ! -e "$dir/faults" ]
