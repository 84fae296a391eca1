#!/usr/bin/env bash
# Times whole tarn runs against the arithmetic floor (all squared distances in a plain tiled
# loop compiled for this machine), side by side in one run, and prints peak memory.
#   bench/run.sh                      # n in 10000 50000, d in 2 8 32, k = 10, 1 and 2 threads
#   SIZES=20000 DIMS=8 bench/run.sh   # a smaller table
# Rows with rule "default" and "lof" build the graph through the brute force (-b), rows with "x"
# and "x+lof" through the spatial index (-x).
source "$(dirname "$0")/common.sh"

# What the run itself needs: the vectors as the loaded set holds them (a 16-byte record and its
# components, carved side by side, and a slot pointer), the n × k kept edges of the flat lists
# (a 4-byte target and an 8-byte distance), and the verdict (two doubles and four 32-bit fields
# per vector).
need_mib() {
    awk -v n="$1" -v d="$2" -v k="$3" 'BEGIN { vector = 16 + (d + 1) * 8 + 8; verdict = 32
                printf "%.1f", (n * (vector + verdict) + n * k * 12) / 1048576 }'
}

printf '%7s %3s %7s %5s %9s %9s %7s %9s %9s %7s\n' n d threads rule tarn_s floor_s ratio \
    peak_MiB need_MiB mem

for n in ${SIZES:-10000 50000}; do
    for d in ${DIMS:-2 8 32}; do
        file="$data/n$n-d$d.txt"
        [ -s "$file" ] || "$bin/gendata" "$n" "$d" >"$file"
        floor=$("$bin/floor" "$file" 2>/dev/null)
        for run in "1 default" "2 default" "1 lof" "1 x" "2 x" "1 x+lof"; do
            set -- $run
            flags=(-k 10 -j "$1" -i "$file")
            case "$2" in
            default) flags+=(-b) ;; lof) flags+=(-b -l) ;; x) flags+=(-x) ;; x+lof) flags+=(-x -l) ;;
            esac
            read -r seconds rss < <("$bin/measure" "$tarn" "${flags[@]}")
            ratio=$(awk -v a="$seconds" -v b="$floor" 'BEGIN { printf "%.2f", a / b }')
            need=$(need_mib "$n" "$d" 10)
            mem=$(awk -v a="$rss" -v b="$need" 'BEGIN { printf "%.2f", a / b }')
            printf '%7s %3s %7s %5s %9s %9s %7s %9s %9s %7s\n' "$n" "$d" "$1" "$2" "$seconds" \
                "$floor" "$ratio" "$rss" "$need" "$mem"
        done
    done
done
