# The tables at the end of bench/run.sh. Sourced by run.sh; each function
# prints one table from the rows gathered during the run and sets missed
# when a target was missed.

# Per list: the medians of the three programs, their ratios, the peak
# memory, with --vs-converter the other converter's median and the median
# of the per-round ratios converter / other, and the targets.
printListTable() {
    local row shape size convMed baseMed floorMed rssMiB otherMed otherRatio minSpeedup maxFloor line other=
    [[ -n "$otherConverter" ]] && other=1
    echo "big lists: medians of $rounds rounds"
    echo "targets: stdio/converter >= 15x and converter/floor <= 2x (hex: >= 10x and <= 3x), peak RSS <= 32 MiB"
    printf '%-10s %-15s %8s %8s %8s %11s %11s %8s' \
        shape list "conv s" "stdio s" "floor s" stdio/conv conv/floor "RSS MiB"
    [[ -n "$other" ]] && printf ' %8s %10s' "other s" conv/other
    printf '  %s\n' targets
    for row in "${tableRows[@]}"; do
        IFS='|' read -r shape size convMed baseMed floorMed rssMiB otherMed otherRatio <<<"$row"
        minSpeedup=15 maxFloor=2
        [[ "$shape" == hex ]] && minSpeedup=10 maxFloor=3
        line=$(awk -v shape="$shape" -v size="$size" -v c="$convMed" -v b="$baseMed" -v f="$floorMed" -v m="$rssMiB" \
            -v lo="$minSpeedup" -v hi="$maxFloor" -v other="$other" -v o="$otherMed" -v cr="$otherRatio" 'BEGIN {
                missing = ""
                if (b == "-") { stdio = "-"; speedup = "-" }
                else {
                    stdio = sprintf("%.3f", b); r = b / c; speedup = sprintf("%.1fx", r)
                    if (r < lo) missing = missing sprintf(" stdio/conv<%dx", lo)
                }
                q = c / f
                if (q > hi) missing = missing sprintf(" conv/floor>%dx", hi)
                if (m > 32) missing = missing " RSS>32MiB"
                printf "%-10s %-15s %8.3f %8s %8.3f %11s %10.2fx %8.1f", shape, size, c, stdio, f, speedup, q, m
                if (other != "") printf " %8.3f %9.3fx", o, cr
                printf "  %s\n", missing == "" ? "met" : "MISSED:" missing }')
        [[ "$line" == *MISSED* ]] && missed=1
        echo "$line"
    done
}

# The converter on one core against all cores.
printScalingTable() {
    local row shape size allMed allCpu oneMed oneCpuTime line
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
}

# The small lists: the table that latency_bench wrote.
printLatencyTable() {
    echo "per-file latency: small lists, whole processes in turn, $latencyRounds rounds after $latencyWarmup warm-ups;"
    echo "medians of the wall times and of the per-round ratios"
    if [[ -s "$latencyTable" ]]; then
        cat "$latencyTable"
    else
        echo "(no list timed: see above)"
    fi
}
