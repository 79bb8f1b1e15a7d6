#!/usr/bin/env bash
# Runs clang-tidy over src/*.cpp with the checks of .clang-tidy, using a
# compilation database configured in build-tidy. Exits non-zero on any
# warning. Usage: tools/clang-tidy.sh [FILE.cpp...]
set -euo pipefail
cd "$(dirname "$0")/.."

tidy=${CLANG_TIDY:-clang-tidy-14}
build=build-tidy
if ! command -v "$tidy" >/dev/null; then
    echo "clang-tidy: $tidy not found (Debian package clang-tidy-14)" >&2
    exit 2
fi

# Configuring is enough: the database is written at configure time.
cmake -S . -B "$build" -DCMAKE_EXPORT_COMPILE_COMMANDS=ON -DDATMOS_TESTS=OFF -DDATMOS_BENCH=OFF >/dev/null

if [ $# -gt 0 ]; then
    files=("$@")
else
    files=(src/*.cpp)
fi

log="$build/clang-tidy.log"
status=0
printf '%s\n' "${files[@]}" |
    xargs -P 2 -n 1 "$tidy" -p "$build" --quiet >"$log" 2>&1 || status=$?

warnings=$(grep -cE '(warning|error): ' "$log" || true)
if [ "$status" -ne 0 ] || [ "$warnings" -ne 0 ]; then
    grep -vE '^[0-9]+ (warnings?|errors?) generated\.$' "$log" >&2 || true
    echo "clang-tidy: ${#files[@]} files, $warnings findings" >&2
    exit 1
fi
echo "clang-tidy: ${#files[@]} files, no findings"
