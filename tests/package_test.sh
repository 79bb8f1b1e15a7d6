#!/usr/bin/env bash
# Builds the project in a scratch directory, installs it with
# `cmake --install` and as a Debian package (extracted with dpkg-deb -x),
# and checks that each installation gives a working, hardened
# datmos-convert that loads the shared C library, a manual page that
# renders without warnings and a changelog that names the version; the
# package's control fields, how its executable is stripped, and lintian
# judge the package. Last, the
# uninstall target must remove what `cmake --install` wrote, and only that,
# after the package was made and put in the same tree.
#
# Usage: tests/package_test.sh
# Needs: cmake, a C++20 compiler, groff, man-db, dpkg-dev, file, gzip, cmp;
# for the hardening and lintian checks, which are skipped without them,
# devscripts (hardening-check) and lintian.
# Exit status: 0 when every check passed, 1 otherwise.

# The checks are functions that `check` calls by name.
# shellcheck disable=SC2317

set -u -o pipefail

source_dir=$(cd "$(dirname "$0")/.." && pwd)
work=$(mktemp -d "${TMPDIR:-/tmp}/datmos-package.XXXXXX")
trap 'rm -rf "$work"' EXIT

passed=0
failed=0
skipped=0
detail=""

# Runs one named check: a shell function that sets `detail` on failure.
check() {
    local name=$1
    shift
    detail=""
    if "$@"; then
        passed=$((passed + 1))
        echo "ok   - $name"
    else
        failed=$((failed + 1))
        echo "FAIL - $name${detail:+: $detail}"
    fi
}

# Runs the named check only where the tool is installed.
check_with() {
    local tool=$1 package=$2 name=$3
    shift 3
    if command -v "$tool" >/dev/null; then
        check "$name" "$@"
    else
        skipped=$((skipped + 1))
        echo "skip - $name: $tool not installed (Debian package $package)"
    fi
}

finish() {
    echo "package: $passed passed, $failed failed, $skipped skipped"
    [ "$failed" -eq 0 ]
    exit
}

build=$work/build
prefix=$work/prefix
root=$work/root
version=""

tools_present() {
    local tool missing=""
    for tool in cmake cpack c++ groff man gzip zcat cmp awk tar file readelf realpath dpkg dpkg-deb dpkg-query \
                dpkg-shlibdeps dpkg-parsechangelog; do
        command -v "$tool" >/dev/null || missing="$missing $tool"
    done
    [ -z "$missing" ] || { detail="missing:$missing"; return 1; }
}

builds() {
    if ! cmake -S "$source_dir" -B "$build" -DCMAKE_BUILD_TYPE=Release -DDATMOS_TESTS=OFF \
            >"$work/configure.log" 2>&1; then
        detail="configure failed; log follows"$'\n'"$(tail -n 30 "$work/configure.log")"
        return 1
    fi
    if ! cmake --build "$build" --parallel "$(nproc)" >"$work/build.log" 2>&1; then
        detail="build failed; log follows"$'\n'"$(tail -n 30 "$work/build.log")"
        return 1
    fi
    version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
    [ -n "$version" ] || { detail="no project version in CMakeCache.txt"; return 1; }
}

# The manual page under $1/share/man/man1, compressed or not.
man_page_in() {
    local page
    for page in "$1/share/man/man1/datmos-convert.1.gz" "$1/share/man/man1/datmos-convert.1"; do
        [ -f "$page" ] && { echo "$page"; return 0; }
    done
    return 1
}

# $1: the installation root (PREFIX, or usr/ of an extracted package).
installs_files() {
    local tree=$1 missing="" path
    [ -x "$tree/bin/datmos-convert" ] || missing="$missing bin/datmos-convert"
    man_page_in "$tree" >/dev/null || missing="$missing share/man/man1/datmos-convert.1[.gz]"
    for path in share/doc/datmos-convert/copyright share/doc/datmos-convert/changelog.Debian.gz; do
        [ -f "$tree/$path" ] || missing="$missing $path"
    done
    if [ -f "$source_dir/examples/les-miserables.txt" ]; then
        path=share/doc/datmos-convert/examples/les-miserables.txt
        [ -f "$tree/$path" ] || missing="$missing $path"
    fi
    [ -z "$missing" ] || { detail="missing:$missing"; return 1; }
}

# $1: the installation root. The page must render through groff with every
# warning enabled, on both the typesetter and the terminal devices, and
# through man, without a single diagnostic, and must state the installed
# version.
man_page_renders() {
    local page errors rendered device
    page=$(man_page_in "$1") || { detail="no manual page"; return 1; }
    for device in ps utf8 ascii; do
        errors=$(zcat -f -- "$page" | groff -ww -z -man -T"$device" 2>&1)
        [ -z "$errors" ] || { detail="groff -T$device: $errors"; return 1; }
    done
    if ! rendered=$(LC_ALL=C MANWIDTH=80 man --warnings=all -l "$page" 2>"$work/man.err"); then
        detail="man -l failed: $(cat "$work/man.err")"
        return 1
    fi
    [ ! -s "$work/man.err" ] || { detail="man -l: $(cat "$work/man.err")"; return 1; }
    grep -q 'convert a relation list into a data file' <<<"$rendered" ||
        { detail="rendered page lacks its NAME line"; return 1; }
    zcat -f -- "$page" | grep -q "^\.TH .*\"datmos\\\\-convert $version\"" ||
        { detail=".TH does not name version $version"; return 1; }
}

# $1: the installation root, $2 the documentation directory it was
# installed with. The manual page names where the example is, in FILES and
# EXAMPLES, and no other such directory.
man_page_names_examples() {
    local page roff others
    page=$(man_page_in "$1") || { detail="no manual page"; return 1; }
    roff=$(sed 's/-/\\-/g' <<<"$2/examples")
    [ "$(zcat -f -- "$page" | grep -c -F -- "$roff")" -ge 2 ] ||
        { detail="FILES and EXAMPLES do not name $2/examples"; return 1; }
    others=$(zcat -f -- "$page" | grep -F 'doc/datmos\-convert' | grep -v -F -- "$roff")
    [ -z "$others" ] || { detail="names another directory: $others"; return 1; }
}

# $1: the installation root. Converts a copy of the bundled example (or,
# in a tree without it, the worked example) with the installed executable.
converts_example() {
    local tree=$1 run out status expected leftovers
    run=$(mktemp -d "$work/run.XXXXXX")
    if [ -f "$source_dir/examples/les-miserables.txt" ]; then
        cp "$tree/share/doc/datmos-convert/examples/les-miserables.txt" "$run/list.txt" ||
            { detail="example not installed"; return 1; }
        expected=$source_dir/examples/les-miserables.txt.datmos
    else
        printf '3 2\n0 1 0.5\n1 2 0.3\n' >"$run/list.txt"
        expected=$work/worked-example.datmos
        printf 'people: 3\nVarErr: 0.5\nNames: [\n1 2 3 ]\nMrel: [\n( 1 , 2 ) 5000\n( 2 , 3 ) 2999\n]\n' \
            >"$expected"
    fi
    out=$(cd "$run" && "$tree/bin/datmos-convert" list.txt)
    status=$?
    [ "$out" = abriu ] || { detail="standard output was \"$out\", not \"abriu\""; return 1; }
    [ "$status" -eq 1 ] || { detail="exit status $status, not 1"; return 1; }
    cmp -- "$expected" "$run/list.txt.datmos" >"$work/cmp.out" 2>&1 ||
        { detail="data file differs: $(cat "$work/cmp.out")"; return 1; }
    leftovers=$(find "$run" -mindepth 1 ! -name list.txt ! -name list.txt.datmos)
    [ -z "$leftovers" ] || { detail="left behind: $leftovers"; return 1; }
}

# $1: the installation root. hardening-check must find the executable
# hardened: position-independent, stack-protected, fortified, with
# read-only relocations and immediate binding. Its control-flow protection
# check is left out: Debian 12's C start-up files lack the marks that the
# linker needs from every object.
is_hardened() {
    local report
    report=$(hardening-check --nocfprotection "$1/bin/datmos-convert" 2>&1) ||
        { detail=$'\n'$(grep -v '^ .*: yes' <<<"$report"); return 1; }
}

# $1: the installation root. The executable is started by the dynamic
# loader and loads the shared C library, so that it gets the library's
# fixes; the C++ runtime is either loaded too or linked in.
links_c_library_dynamically() {
    local exe=$1/bin/datmos-convert headers needed
    headers=$(readelf -lW "$exe") || { detail="readelf -l failed"; return 1; }
    grep -q 'Requesting program interpreter: /' <<<"$headers" || { detail="no program interpreter"; return 1; }
    needed=$(readelf -dW "$exe" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p')
    grep -q -x 'libc\.so\.6' <<<"$needed" ||
        { detail="does not need libc.so.6; needs: $(tr '\n' ' ' <<<"$needed")"; return 1; }
}

# $1: an executable. Whether it loads the shared C++ runtime.
loads_cxx_runtime() {
    readelf -dW "$1" | grep -q '(NEEDED).*\[libstdc++\.so\.'
}

# $1: the installation root. The packaged executable is stripped as
# Debian's tools strip it: no symbol table, no .comment or .note section.
stripped_as_debian_does() {
    local sections section
    sections=$(readelf -SW "$1/bin/datmos-convert" | sed -n 's/^ *\[ *[0-9]*\] \([^ ]*\) .*/\1/p')
    for section in .comment .note .symtab; do
        ! grep -q -x -F -- "$section" <<<"$sections" || { detail="has a $section section"; return 1; }
    done
}

# $1: the installation root. The changelog's latest entry must be the
# version installed.
changelog_names_version() {
    local latest
    latest=$(zcat -- "$1/share/doc/datmos-convert/changelog.Debian.gz" | dpkg-parsechangelog -l - -S Version 2>&1) ||
        { detail="dpkg-parsechangelog: $latest"; return 1; }
    [ "$latest" = "${version}-1" ] ||
        { detail="latest entry is $latest, not ${version}-1"; return 1; }
}

# lintian must find nothing to say, pedantic and informational tags
# included.
passes_lintian() {
    [ -f "$deb" ] || { detail="no package"; return 1; }
    local report
    report=$(lintian -I -L +pedantic --fail-on error,warning,info,pedantic "$deb" 2>&1) ||
        { detail=$'\n'"$report"; return 1; }
}

installs_from_source() {
    cmake --install "$build" --prefix "$prefix" >"$work/install.log" 2>&1 ||
        { detail="cmake --install failed: $(tail -n 20 "$work/install.log")"; return 1; }
    installs_files "$prefix"
}

# Installs with DESTDIR into the tree that the package is extracted to
# later, as /usr/local beside /usr; /usr/local/share/man is there before,
# empty, as on Debian.
installs_beside_package() {
    mkdir -p "$root/usr/local/share/man"
    DESTDIR=$root cmake --install "$build" --prefix /usr/local >"$work/install-destdir.log" 2>&1 ||
        { detail="cmake --install failed: $(tail -n 20 "$work/install-destdir.log")"; return 1; }
    installs_files "$root/usr/local" && man_page_names_examples "$root/usr/local" /usr/local/share/doc/datmos-convert
}

# After both installations from source, the package and its extraction:
# every installed file and every directory the installations made is gone,
# the package's files and the directory that was there before stay.
uninstalls() {
    local path missing="" left empty
    cmake --build "$build" --target uninstall >"$work/uninstall.log" 2>&1 ||
        { detail="uninstall failed: $(tail -n 20 "$work/uninstall.log")"; return 1; }
    [ ! -e "$prefix" ] || { detail="left in $prefix: $(find "$prefix" | head -n 5)"; return 1; }
    left=$(cd "$root/usr/local" && find . | sort | tr '\n' ' ')
    [ "$left" = ". ./share ./share/man " ] || { detail="left in /usr/local: $left"; return 1; }
    while read -r path; do
        [ -e "$root/$path" ] || missing="$missing $path"
    done < <(dpkg-deb --fsys-tarfile "$deb" | tar -t | grep -v '/$')
    [ -z "$missing" ] || { detail="package files removed:$missing"; return 1; }
    empty=$(find "$root" -type d -empty ! -path "$root/usr/local/share/man")
    [ -z "$empty" ] || { detail="empty directories left: $empty"; return 1; }
}

deb=""

packages() {
    local arch control depends built_using compiler archive owner source field
    if ! (cd "$build" && cpack -G DEB) >"$work/cpack.log" 2>&1; then
        detail="cpack failed: $(tail -n 20 "$work/cpack.log")"
        return 1
    fi
    arch=$(dpkg --print-architecture)
    deb=$build/datmos-convert_${version}-1_${arch}.deb
    [ -f "$deb" ] || { detail="no $(basename "$deb"); made: $(cd "$build" && ls ./*.deb 2>/dev/null)"; return 1; }
    control=$(dpkg-deb -f "$deb") || { detail="dpkg-deb -f failed"; return 1; }
    for field in "Package: datmos-convert" "Version: ${version}-1" "Architecture: $arch" \
                 "Section: science" "Description: convert a relation list into a data file"; do
        grep -q -x -F "$field" <<<"$control" || { detail="control lacks \"$field\""; return 1; }
    done
    grep -q -E '^Maintainer: .+ <[^ >]+@[^ >]+>$' <<<"$control" ||
        { detail="control lacks a Maintainer \"Name <address>\""; return 1; }
    # dpkg-shlibdeps must have found what the executable loads, with
    # versions: the C library, and the C++ runtime where it is shared;
    # where that is linked in, Built-Using names the source package of its
    # static library at the version installed.
    depends=$(dpkg-deb -f "$deb" Depends)
    built_using=$(dpkg-deb -f "$deb" Built-Using)
    grep -q -E '(^|, )libc6 \(>= [0-9.]+\)' <<<"$depends" ||
        { detail="Depends is \"$depends\", without libc6"; return 1; }
    if loads_cxx_runtime "$build/datmos-convert"; then
        grep -q -E '(^|, )libstdc\+\+6 \(>= [0-9.]+\)' <<<"$depends" ||
            { detail="Depends is \"$depends\", without libstdc++6"; return 1; }
        [ -z "$built_using" ] || { detail="Built-Using is \"$built_using\" for a shared C++ runtime"; return 1; }
    else
        compiler=$(sed -n 's/^CMAKE_CXX_COMPILER:[A-Z]*=//p' "$build/CMakeCache.txt")
        archive=$(realpath "$("$compiler" -print-file-name=libstdc++.a)")
        owner=$(dpkg -S "$archive" | sed 's/: .*//')
        source=$(dpkg-query -W -f='${source:Package} (= ${source:Version})' "$owner")
        [ "$built_using" = "$source" ] ||
            { detail="Built-Using is \"$built_using\", not \"$source\" (the source of $archive)"; return 1; }
    fi
    # A long description of more than one line follows the summary.
    [ "$(dpkg-deb -f "$deb" Description | wc -l)" -gt 2 ] ||
        { detail="no long description"; return 1; }
}

package_contents() {
    [ -f "$deb" ] || { detail="no package"; return 1; }
    local listing not_root
    listing=$(dpkg-deb -c "$deb") || { detail="dpkg-deb -c failed"; return 1; }
    not_root=$(awk '$2 != "root/root"' <<<"$listing")
    [ -z "$not_root" ] || { detail="not owned by root: $not_root"; return 1; }
    mkdir -p "$root"
    dpkg-deb -x "$deb" "$root" || { detail="dpkg-deb -x failed"; return 1; }
    installs_files "$root/usr"
}

check "tools present" tools_present
[ "$failed" -eq 0 ] || finish
check "configures and builds (Release)" builds
[ "$failed" -eq 0 ] || finish

check "cmake --install: executable, manual page, copyright, changelog, example" installs_from_source
check "cmake --install: manual page renders without warnings" man_page_renders "$prefix"
check "cmake --install: manual page names the example under the prefix" \
    man_page_names_examples "$prefix" "$prefix/share/doc/datmos-convert"
check "cmake --install: installed executable converts the example" converts_example "$prefix"
check_with hardening-check devscripts "cmake --install: executable hardened" is_hardened "$prefix"
check "cmake --install: executable loads the shared C library" links_c_library_dynamically "$prefix"
check "cmake --install with DESTDIR: files under DESTDIR/PREFIX" installs_beside_package
check "cpack -G DEB: file name and control fields (Depends from shlibdeps, Built-Using)" packages
check "package: root-owned, extracts with executable, manual page, copyright, changelog, example" package_contents
check "package: manual page renders without warnings" man_page_renders "$root/usr"
check "package: manual page names the example under /usr" \
    man_page_names_examples "$root/usr" /usr/share/doc/datmos-convert
check "package: changelog's latest entry is the package's version" changelog_names_version "$root/usr"
check "package: packaged executable converts the example" converts_example "$root/usr"
check_with hardening-check devscripts "package: packaged executable hardened" is_hardened "$root/usr"
check "package: packaged executable loads the shared C library" links_c_library_dynamically "$root/usr"
check "package: packaged executable stripped of symbols, .comment and .note" stripped_as_debian_does "$root/usr"
check_with lintian lintian "package: lintian -I -L +pedantic reports nothing" passes_lintian
check "uninstall target: what cmake --install wrote, not the package's files" uninstalls

finish
