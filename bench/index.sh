#!/usr/bin/env bash
# The spatial index (-x) against the brute force (-b), side by side in one run: whole-process wall
# time of LOF runs with k = 10 on one thread, over dimensions, on seeded Gaussian clusters with
# 2 % noise; and, when they are installed, other programs' LOF on the same files.
#   bench/index.sh                          # n = 50000, d = 1 … 16
#   SIZES=200000 DIMS="2 8" PEERS=1 bench/index.sh
#   NOISE=1 bench/index.sh                  # uniform data, no clusters
source "$(dirname "$0")/common.sh"

seconds() { "$bin/measure" "$@" | cut -d' ' -f1; }

peers=()
if [ -n "${PEERS:-}" ]; then
    "${PYTHON:-/usr/bin/python3}" -c 'import sklearn' 2>/dev/null && peers+=(sklearn)
    Rscript -e 'library(dbscan)' >/dev/null 2>&1 && peers+=(dbscan)
fi

printf '%7s %3s %9s %9s %7s' n d brute_s index_s ratio
for peer in "${peers[@]}"; do printf ' %9s' "${peer}_s"; done
printf '\n'
for n in ${SIZES:-50000}; do
    for d in ${DIMS:-1 2 3 4 6 8 10 12 14 16}; do
        noise=${NOISE:-0.02}
        file="$data/n$n-d$d.txt"
        [ "$noise" = 0.02 ] || file="$data/n$n-d$d-noise$noise.txt"
        [ -s "$file" ] || "$bin/gendata" "$n" "$d" 1 "$noise" >"$file"
        brute=$(seconds "$tarn" -b -l -k 10 -i "$file")
        index=$(seconds "$tarn" -x -l -k 10 -i "$file")
        ratio=$(awk -v a="$brute" -v b="$index" 'BEGIN { printf "%.2f", a / b }')
        printf '%7s %3s %9s %9s %7s' "$n" "$d" "$brute" "$index" "$ratio"
        for peer in "${peers[@]}"; do
            printf ' %9s' "$(seconds bench/peer_lof.sh "$peer" "$file")"
        done
        printf '\n'
    done
done
