#!/usr/bin/env bash
# Converts relation lists that each hold one number of 100 million digits (a
# weight's digits, a person number's leading zeros, a weight's exponent) and
# checks each data file and that each run's peak resident memory stays
# within 32 MiB. Takes a few seconds and 300 MB in the scratch directory.
# Usage: tests/long_number_memory.sh PROGRAM [SCRATCH_DIR]
set -euo pipefail

program=${1:?usage: tests/long_number_memory.sh PROGRAM [SCRATCH_DIR]}
digits=100000000
limit_kib=$((32 * 1024))
if [ ! -x /usr/bin/time ]; then
    echo "long_number_memory: /usr/bin/time not found (Debian package time)" >&2
    exit 2
fi
dir=$(mktemp -d "${2:-${TMPDIR:-/tmp}}/datmos-long-number.XXXXXX")
trap 'rm -rf "$dir"' EXIT

repeat() { head -c "$digits" /dev/zero | tr '\0' "$1"; }
{ printf '2 1\n0 1 0.'; repeat 7; printf '\n'; } >"$dir/weight"
{ printf '2 1\n'; repeat 0; printf '1 0 0.5\n'; } >"$dir/person"
{ printf '2 1\n0 1 1e-'; repeat 0; printf '1\n'; } >"$dir/exponent"

failed=0
check() {  # list, the relation line its data file must hold
    local peak seconds
    /usr/bin/time -f '%M %e' -o "$dir/usage" "$program" "$dir/$1" >/dev/null || true  # the status is always 1
    read -r peak seconds < <(tail -n 1 "$dir/usage")
    echo "$1: peak $peak KiB, $seconds s"
    if ! grep -qxF "$2" "$dir/$1.datmos" 2>/dev/null; then
        echo "long_number_memory: $1: the data file lacks the line \"$2\"" >&2
        failed=1
    fi
    if [ "$peak" -gt "$limit_kib" ]; then
        echo "long_number_memory: $1: peak $peak KiB is over $limit_kib KiB" >&2
        failed=1
    fi
}
check weight '( 1 , 2 ) 7777'
check person '( 2 , 1 ) 5000'
check exponent '( 1 , 2 ) 1000'
exit "$failed"
