#!/usr/bin/env bash
# How a whole run grows with n, side by side in one run: `tarn -l -k 10 -j 2` on seeded
# clustered 2-d points at each size (default 10^6, 10^7 and 10^8; the last is a 2.2 GB file and
# needs about 12 GB), with wall and CPU seconds, the peak and its bytes per vector, CPU growth
# from the first size against n log n's, and the memory check's estimate against the peak (read
# from the message of a run under an address-space limit just below the peak).
#   bench/growth.sh                    SIZES="1000000 10000000" bench/growth.sh
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

printf '%10s %8s %8s %9s %7s %13s %9s %6s\n' n wall_s cpu_s peak_MiB B/vec cpu/nlogn_growth \
    estimate ratio
first_cpu='' first_nlogn=''
for n in ${SIZES:-1000000 10000000 100000000}; do
    file="$data/n$n-d2.txt"
    [ -s "$file" ] || "$bin/gendata" "$n" 2 >"$file"
    TIMEFORMAT='%U %S'
    times=$({ time "$bin/measure" "$tarn" -l -k 10 -j 2 -i "$file" >"$data/growth.out"; } 2>&1)
    read -r wall peak <"$data/growth.out"
    cpu=$(awk -v t="$times" 'BEGIN { split(t, a, " "); printf "%.2f", a[1] + a[2] }')
    nlogn=$(awk -v n="$n" 'BEGIN { printf "%.6g", n * log(n) }')
    first_cpu=${first_cpu:-$cpu} first_nlogn=${first_nlogn:-$nlogn}
    growth=$(awk -v c="$cpu" -v c0="$first_cpu" -v m="$nlogn" -v m0="$first_nlogn" \
        'BEGIN { printf "%.2f", (c / c0) / (m / m0) }')
    limit=$(awk -v p="$peak" 'BEGIN { printf "%d", p * 1024 * 0.95 }')
    estimate=$( (ulimit -v "$limit" && "$tarn" -l -k 10 -j 2 -i "$file") 2>/dev/null |
        sed -n 's/^The graph needs \([0-9]*\) MiB.*/\1/p' | head -1 || true)
    printf '%10s %8s %8s %9s %7.1f %13s %9s %6s\n' "$n" "$wall" "$cpu" "$peak" \
        "$(awk -v p="$peak" -v n="$n" 'BEGIN { print p * 1048576 / n }')" "$growth" \
        "${estimate:--}" "$(awk -v e="${estimate:-0}" -v p="$peak" \
            'BEGIN { if (e > 0) printf "%.3f", e / p; else print "-" }')"
done
rm -f "$data/growth.out"
