#!/usr/bin/env bash
# Load benchmark: how fast a big vector file loads and how much memory it takes against the
# vectors it holds, for the loader alone and for a whole run up to its graph's vertices (k set
# beyond n stops the run right after them).
#   bench/load.sh                  # about 1 GB: 12.5 million vectors of 8 features and a label
#   VECTORS=1000000 bench/load.sh  # a smaller file
set -euo pipefail
cd "$(dirname "$0")/.."
cmake --preset bench >/dev/null
cmake --build --preset bench >/dev/null
bin=build/bench/bench
data=${TARN_BENCH_DATA:-/tmp/tarn-bench}
vectors=${VECTORS:-12500000}
mkdir -p "$data"
file="$data/load-n$vectors-d8.txt"
[ -s "$file" ] || "$bin/gendata" "$vectors" 8 >"$file"

# The same numbers as CSV: commas for the blanks, a header row.
csv="${file%.txt}.csv"
[ -s "$csv" ] || { echo "f1,f2,f3,f4,f5,f6,f7,f8,label"; tr -s ' ' ',' <"$file" | sed 's/,$//'; } >"$csv"

printf '%-22s %12s %9s %4s %8s %7s %9s %9s %6s\n' loader bytes vectors dim seconds MB/s \
    held_MiB peak_MiB ratio
for run in "fvsLoad, text:$file:" "tableLoad, text:$file:table" "tableLoad, CSV:$csv:table"; do
    IFS=: read -r label path how <<<"$run"
    read -r bytes n dim seconds rate held peak ratio < <("$bin/load" "$path" $how)
    printf '%-22s %12s %9s %4s %8s %7s %9s %9s %6s\n' "$label" "$bytes" "$n" "$dim" "$seconds" \
        "$rate" "$held" "$peak" "$ratio"
    [ "$path" = "$file" ] && text_seconds=${text_seconds:-$seconds}
    [ "$path" = "$csv" ] && awk -v c="$seconds" -v t="$text_seconds" \
        'BEGIN { printf "CSV takes %.2f times as long as text\n", c / t }'
done
bytes=$(stat -c %s "$file")

# The whole run also makes a vertex record (104 bytes, slab-carved) per vector.
echo "tarn up to the vertices (the neighbourhood check stops it):"
read -r run_seconds run_peak < <("$bin/measure" build/bench/tarn -k 2147483647 -i "$file" || true)
awk -v b="$bytes" -v s="$run_seconds" -v p="$run_peak" -v h="$held" -v n="$n" 'BEGIN {
    graph = h + n * 104 / 1048576
    printf "%8s %7s %9s %9s %6s\n", "seconds", "MB/s", "need_MiB", "peak_MiB", "ratio"
    printf "%8.3f %7.1f %9.1f %9.1f %6.2f\n", s, b / 1e6 / s, graph, p, p / graph }'
