# The per-file latency part of bench/run.sh: small seeded lists, of the
# size people convert one file at a time, timed by latency_bench as whole
# processes in turn. Sourced by run.sh, whose options and programs it uses.

# Relations and people of each small list (weights as the short shape), and
# the largest ratios converter / stdio program and converter / floor that
# it is to meet ("-": none): a class, an organisation, a large one.
latencyLists=("20 50 1.0 1.1" "1000 500 0.85 1.15" "30000 5000 0.4 -")
latencyWarmup=3
latencyTable="$scratch/latency.md"

# Generates the small lists once, then times them; the table goes to
# $latencyTable for the summary.
timeLatency() {
    local entry count listPeople vsStdio vsFloor path arguments=() status=0
    for entry in "${latencyLists[@]}"; do
        read -r count listPeople vsStdio vsFloor <<<"$entry"
        path="$scratch/latency-r$count-p$listPeople-s$seed.txt"
        if ((regenerate)) || [[ ! -s "$path" ]]; then
            echo "== generating $path"
            "$generator" "$path.part" "$count" "$listPeople" "$seed" || die "generation failed"
            mv "$path.part" "$path"
        fi
        arguments+=(--targets "$vsStdio,$vsFloor" "$path")
    done
    if [[ -n "$otherConverter" ]]; then
        arguments=(--vs-converter "$otherConverter" "${arguments[@]}")
    fi
    if ((verbose)); then
        arguments=(--verbose "${arguments[@]}")
    fi
    rm -f "$latencyTable"
    "$latencyBench" --converter "$converter" --stdio "$baseline" --floor "$floor" --rounds "$latencyRounds" --warmup "$latencyWarmup" \
        "${arguments[@]}" >"$latencyTable" || status=$?
    case $status in
        0) ;;
        3) missed=1 ;;
        *) failed=1 ;;
    esac
}
