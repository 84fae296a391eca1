#!/usr/bin/env bash
# What a second thread gives a whole run, side by side in one run: wall time and peak memory of
# `tarn -l` with -j 1 and -j 2 (interleaved, median of ROUNDS, default 3) and their ratio, on the
# data sets of the performance goals; BASE adds the same runs of another tarn binary, as
# rows of their own beside this build's.
#   bench/scaling.sh                                     # the four goal rows
#   ROWS="1000000 2 auto" bench/scaling.sh               # rows of "n d builder" (auto, -x, -b)
#   BASE=/tmp/old/build/bench/tarn ROUNDS=1 bench/scaling.sh
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

rows=${ROWS:-"1000000 2 auto;1000000 8 -x;50000 8 -b;50000 32 -b"}
rounds=${ROUNDS:-3}

median() { tr ' ' '\n' | sort -g | awk '{ v[NR] = $0 } END { print v[int((NR + 1) / 2)] }'; }

# Median wall seconds and the largest peak MiB of `rounds` runs of one program.
declare -A seconds peak
measure() {
    local key=$1 program=$2
    shift 2
    local out
    out=$("$bin/measure" "$program" "$@")
    seconds[$key]="${seconds[$key]:-} ${out% *}"
    peak[$key]=$(awk -v a="${peak[$key]:-0}" -v b="${out#* }" 'BEGIN { print (b > a ? b : a) }')
}

programs=("$tarn")
[ -n "${BASE:-}" ] && programs+=("$BASE")
printf '%8s %3s %5s %-6s %8s %8s %6s %8s %8s\n' n d build binary j1_s j2_s j1/j2 j1_MiB j2_MiB
IFS=';' read -ra table <<<"$rows"
for row in "${table[@]}"; do
    read -r n d builder <<<"$row"
    file="$data/n$n-d$d.txt"
    [ -s "$file" ] || "$bin/gendata" "$n" "$d" >"$file"
    flags=(-l -k 10 -i "$file")
    [ "$builder" = auto ] || flags+=("$builder")
    seconds=() peak=()
    for ((r = 0; r < rounds; r++)); do
        for p in "${!programs[@]}"; do
            for j in 1 2; do measure "$p/$j" "${programs[$p]}" "${flags[@]}" -j "$j"; done
        done
    done
    for p in "${!programs[@]}"; do
        j1=$(median <<<"${seconds[$p/1]# }")
        j2=$(median <<<"${seconds[$p/2]# }")
        printf '%8s %3s %5s %-6s %8s %8s %6s %8s %8s\n' "$n" "$d" "$builder" \
            "$([ "$p" = 0 ] && echo this || echo base)" "$j1" "$j2" \
            "$(awk -v a="$j1" -v b="$j2" 'BEGIN { printf "%.2f", a / b }')" "${peak[$p/1]}" \
            "${peak[$p/2]}"
    done
done
