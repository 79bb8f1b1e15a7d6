#!/usr/bin/env bash
# Files over 2 GiB, which a 32-bit build handles only with 64-bit file
# offsets: a relation list of 5 GiB (a sparse file: the relations, then a
# hole that is never read), a data file of 2.2 GB (230 million people),
# and a failed run that must leave such a data file as it was.
#
# Usage: tests/large_file_test.sh CONVERTER
# CONVERTER is the executable, or a script that runs it (under an emulator,
# for instance). The files go to a scratch directory under ${TMPDIR:-/tmp},
# which needs about 2.3 GB free and sparse files; it is removed at the end.
# Exit status: 0 when every check passed, 1 otherwise.
set -u -o pipefail

converter=${1:?usage: tests/large_file_test.sh CONVERTER}
converter=$(cd "$(dirname "$converter")" && pwd)/$(basename "$converter")
work=$(mktemp -d "${TMPDIR:-/tmp}/datmos-large.XXXXXX")
trap 'rm -rf "$work"' EXIT

failed=0
fail() {
    echo "FAIL - $*"
    failed=1
}

# Runs the converter on $work/$1 and checks what it printed against $2
# (a shell pattern).
convert() {
    local output
    output=$(cd "$work" && "$converter" "$1")
    # shellcheck disable=SC2053  # $2 is a pattern
    [[ $output == $2 ]] || { fail "$1: printed \"$output\", expected $2"; return 1; }
}

# The data file of a list of `people` people and no relation.
namesOnly() {
    printf 'people: %d\nVarErr: 0.5\nNames: [\n' "$1"
    seq 1 "$1" | tr '\n' ' '
    printf ']\nMrel: [\n]\n'
}

# 1. A relation list over 4 GiB: its relations, then a hole.
printf '2 3\n0 1 0.5\n1 0 -0.25\n1 1 3\n' >"$work/list.txt"
truncate -s 5G "$work/list.txt"
if convert list.txt abriu; then
    expected=$'people: 2\nVarErr: 0.5\nNames: [\n1 2 ]\nMrel: [\n( 1 , 2 ) 5000\n( 2 , 1 ) -2500\n( 2 , 2 ) 30000\n]\n'
    if [[ $(cat "$work/list.txt.datmos"; echo .) == "$expected." ]]; then
        echo "ok   - a relation list of 5 GiB"
    else
        fail "a relation list of 5 GiB: unexpected data file"
    fi
fi
rm -f "$work/list.txt" "$work/list.txt.datmos"

# 2. A data file over 2 GiB, compared byte for byte as it is generated.
people=230000000
printf '%d 0\n' "$people" >"$work/names.txt"
if convert names.txt abriu; then
    size=$(stat -c %s "$work/names.txt.datmos")
    if cmp -s "$work/names.txt.datmos" <(namesOnly "$people"); then
        echo "ok   - a data file of $size bytes"
    else
        fail "a data file of $size bytes: differs from the expected (cmp: $(cmp "$work/names.txt.datmos" <(namesOnly "$people") 2>&1))"
    fi

    # 3. A run that fails (a bad weight, after more than a buffer's worth
    # of names) leaves that earlier data file as it was: it can't be
    # written in place.
    printf '2000000 1\n0 1 x\n' >"$work/names.txt"
    if convert names.txt 'abriuFail to read file In: *'; then
        if [[ $(stat -c %s "$work/names.txt.datmos") == "$size" ]] &&
            cmp -s <(head -c 64M "$work/names.txt.datmos") <(namesOnly "$people" | head -c 64M); then
            echo "ok   - a failed run keeps an earlier data file of $size bytes"
        else
            fail "a failed run changed the earlier data file of $size bytes"
        fi
    fi
fi

[ "$failed" -eq 0 ] && echo "large files: every check passed"
exit "$failed"
