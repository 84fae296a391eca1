#!/usr/bin/env bash
# Load benchmark: how fast a big vector file loads and how much memory it takes against the
# vectors it holds, for the loader alone and for a whole run up to its neighbourhood check (k set
# beyond n stops the run right after the load). The text loads of the command line run with one
# thread and with two side by side; their ratio is printed. The library's fvsLoad allocates
# every vector; tableLoad here carves them from an arena, as a run does.
#   bench/load.sh                  # about 1 GB: 12.5 million vectors of 8 features and a label
#   VECTORS=1000000 bench/load.sh  # a smaller file
source "$(dirname "$0")/common.sh"
vectors=${VECTORS:-12500000}
file="$data/load-n$vectors-d8.txt"
[ -s "$file" ] || "$bin/gendata" "$vectors" 8 >"$file"

# The same numbers as CSV: commas for the blanks, a header row.
csv="${file%.txt}.csv"
[ -s "$csv" ] || { echo "f1,f2,f3,f4,f5,f6,f7,f8,label"; tr -s ' ' ',' <"$file" | sed 's/,$//'; } >"$csv"

# MB/s is of the wall time; cpu_s adds the user and system time of all threads, which a machine
# busy with other work inflates less. ratio is the peak RSS against the vectors held.
printf '%-24s %12s %9s %4s %8s %7s %7s %9s %9s %6s\n' loader bytes vectors dim seconds MB/s \
    cpu_s held_MiB peak_MiB ratio
for run in "fvsLoad (a stream), text:$file::" "tableLoad, text, -j 1:$file:table:1" \
    "tableLoad, text, -j 2:$file:table:2" "tableLoad, CSV:$csv:table:1"; do
    IFS=: read -r label path how threads <<<"$run"
    read -r bytes n dim seconds rate cpu held peak ratio < <("$bin/load" "$path" $how $threads)
    printf '%-24s %12s %9s %4s %8s %7s %7s %9s %9s %6s\n' "$label" "$bytes" "$n" "$dim" \
        "$seconds" "$rate" "$cpu" "$held" "$peak" "$ratio"
    case "$label" in
        *"-j 1") one=$seconds ;;
        *"-j 2") awk -v a="$one" -v b="$seconds" \
            'BEGIN { printf "-j 2 loads the text %.2f times as fast as -j 1\n", a / b }' ;;
        *CSV) awk -v c="$seconds" -v t="$one" \
            'BEGIN { printf "CSV takes %.2f times as long as text\n", c / t }' ;;
    esac
done
bytes=$(stat -c %s "$file")

# The run holds the vectors as tableLoad does, and nothing else yet.
echo "tarn up to the neighbourhood check, which stops it:"
printf '%4s %8s %7s %9s %9s %6s\n' -j seconds MB/s held_MiB peak_MiB ratio
for threads in 1 2; do
    read -r run_seconds run_peak < <("$bin/measure" "$tarn" -j $threads -k 2147483647 \
        -i "$file" || true)
    awk -v j="$threads" -v b="$bytes" -v s="$run_seconds" -v p="$run_peak" -v h="$held" \
        'BEGIN { printf "%4d %8.3f %7.1f %9.1f %9.1f %6.2f\n", j, s, b / 1e6 / s, h, p, p / h }'
done
