# The big lists of bench/run.sh: their inputs and reference data files,
# the timed rounds of the converter, the stdio baseline and the I/O floor,
# the converter on one core against all, and the profile. Sourced by
# run.sh, whose options and programs it uses.

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

# Times a converter on the input (its data file is INPUT.datmos); checks
# its standard output and its data file against the reference.
runConverter() {  # label converter input reference [command prefix...]
    local label="$1" program="$2" input="$3" ref="$4"
    shift 4
    timed "$scratch/converter.stdout" "$@" "$program" "$input"
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

# Times one list: converter, the other converter if any, baseline and floor
# in turn in every round.
benchList() {  # shape
    local shape="$1" input ref
    input=$(inputOf "$shape")
    ref="$input.reference"
    local baseOut="$scratch/baseline.datmos" floorOut="$scratch/floor.datmos"
    local outputs=("$input.datmos" "$baseOut" "$floorOut")
    local convWall=() convCpu=() convRss=() baseWall=() floorWall=() readWall=() writeWall=()
    local otherWall=() convToOther=()

    # Bring the input and the reference into the page cache, and let every
    # program run once, untimed: the first runs on a fresh machine also pay
    # for memory the system has not touched yet.
    cat "$input" "$ref" >/dev/null
    local pass
    for ((pass = 1; pass <= warmup; pass++)); do
        quiet "${outputs[@]}"
        "$converter" "$input" >/dev/null || true
        if [[ -n "$otherConverter" ]]; then
            quiet "${outputs[@]}"
            "$otherConverter" "$input" >/dev/null || true
        fi
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
        runConverter "$shape, converter round $round" "$converter" "$input" "$ref"
        convWall+=("$wall")
        convCpu+=("$cpu")
        convRss+=("$rss")

        if [[ -n "$otherConverter" ]]; then
            quiet "${outputs[@]}"
            runConverter "$shape, other converter round $round" "$otherConverter" "$input" "$ref"
            otherWall+=("$wall")
            convToOther+=("$(awk -v a="${convWall[-1]}" -v b="$wall" 'BEGIN { printf "%.6f", a / b }')")
        fi

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
            ((${#otherWall[@]})) && printf ', other converter %.3f s' "${otherWall[-1]}"
            ((converterOnly)) || printf ', baseline %.3f s' "${baseWall[-1]}"
            printf ', floor %.3f s (read %.3f + write %.3f)\n' "${floorWall[-1]}" "${readWall[-1]}" "${writeWall[-1]}"
        fi
    done
    quiet "${outputs[@]}"

    local convMed baseMed=- floorMed rssMiB otherMed=- otherRatio=-
    convMed=$(median "${convWall[@]}")
    floorMed=$(median "${floorWall[@]}")
    ((converterOnly)) || baseMed=$(median "${baseWall[@]}")
    if ((${#otherWall[@]})); then
        otherMed=$(median "${otherWall[@]}")
        otherRatio=$(median "${convToOther[@]}")
    fi
    rssMiB=$(awk -v k="$(maximum "${convRss[@]}")" 'BEGIN { printf "%.1f", k / 1024 }')
    printf '   %s, %s: in %s MB, out %s MB; converter %.3f s (%.3f to %.3f, cpu %.2f s)' "$shape" "$(sizeOf "$shape")" \
        "$(megabytes "$(fileSize "$input")")" "$(megabytes "$(fileSize "$ref")")" \
        "$convMed" "$(minimum "${convWall[@]}")" "$(maximum "${convWall[@]}")" "$(median "${convCpu[@]}")"
    ((${#otherWall[@]})) && printf ', other converter %.3f s (converter / other %.3fx)' "$otherMed" "$otherRatio"
    ((converterOnly)) || printf ', stdio %.3f s' "$baseMed"
    printf ', floor %.3f s (read %.3f + write %.3f)\n' "$floorMed" "$(median "${readWall[@]}")" "$(median "${writeWall[@]}")"
    tableRows+=("$shape|$(sizeOf "$shape")|$convMed|$baseMed|$floorMed|$rssMiB|$otherMed|$otherRatio")
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
        runConverter "$shape, converter on all cores, round $round" "$converter" "$input" "$ref"
        allWall+=("$wall")
        allCpu+=("$cpu")
        quiet "$input.datmos"
        runConverter "$shape, converter on one core, round $round" "$converter" "$input" "$ref" taskset -c "$oneCpu"
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
