#!/usr/bin/env bash
# Each metric's whole run against the Euclidean one's, side by side on one machine:
#   the default rule, k = 10, -j 2, on N clustered 2-d points (default 1,000,000), the builder
#   tarn chooses (the k-d tree there for every metric with a box bound); the cosine, built by
#   the brute force alone, against the Euclidean brute force (-b) on NC points (default 20,000).
#   bench/metrics.sh            N=200000 NC=10000 bench/metrics.sh
source "$(dirname "$0")/common.sh"
n=${N:-1000000}
nc=${NC:-20000}
seconds() { "$bin/measure" "$@" 2>/dev/null | cut -d' ' -f1; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }
file="$data/n$n-d2.txt"
[ -s "$file" ] || "$bin/gendata" "$n" 2 >"$file"
small="$data/n$nc-d2.txt"
[ -s "$small" ] || "$bin/gendata" "$nc" 2 >"$small"

echo "every metric, n = $n, d = 2, k = 10, -j 2 (ratio = metric / euclidean)"
printf '%-14s %9s %7s\n' metric seconds ratio
base=$(seconds "$tarn" -d euclidean -k 10 -j 2 -i "$file")
printf '%-14s %9s %7s\n' euclidean "$base" 1.00
for metric in manhattan chebyshev minkowski:3 minkowski:1.5; do
    took=$(seconds "$tarn" -d "$metric" -k 10 -j 2 -i "$file")
    printf '%-14s %9s %7s\n' "$metric" "$took" "$(ratio "$took" "$base")"
done
echo "the brute force, n = $nc, d = 2, k = 10, -j 2 (ratio = metric / euclidean)"
brute=$(seconds "$tarn" -d euclidean -b -k 10 -j 2 -i "$small")
printf '%-14s %9s %7s\n' "euclidean -b" "$brute" 1.00
for metric in cosine manhattan minkowski:3; do
    took=$(seconds "$tarn" -d "$metric" -b -k 10 -j 2 -i "$small")
    printf '%-14s %9s %7s\n' "$metric -b" "$took" "$(ratio "$took" "$brute")"
done
