#!/usr/bin/env bash
# The rules side by side on one machine, in one run:
#   every rule's whole run (-r KEY, k = 10, -j 2) on N clustered 2-d points (default 1,000,000),
#   its time as a ratio to -l's; then -r all against the ten runs one after the other (one graph
#   build against ten);
#   knn against R's dbscan::kNNdist on a real data set that R ships (quakes: latitude, longitude,
#   depth of 1,000 earthquakes; duplicated rows removed), compared at tarn's printed precision
#   (9 significant digits). R's dbscan comes from Debian's archive (r-cran-dbscan), installed
#   through .ci/packages when missing.
#   bench/detectors.sh            N=200000 bench/detectors.sh
source "$(dirname "$0")/common.sh"
n=${N:-1000000}
file="$data/n$n-d2.txt"
[ -s "$file" ] || "$bin/gendata" "$n" 2 >"$file"
seconds() { "$bin/measure" "$@" 2>/dev/null | cut -d' ' -f1; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }

echo "every rule, n = $n, d = 2, k = 10, -j 2 (ratio = rule / -l)"
keys=$( ("$tarn" 2>/dev/null || true) | sed -n 's/.*-r \[rule: \([a-z|]*\)\].*/\1/p' | tr '|' ' ')
declare -A took
total=0
for key in $keys; do
    took[$key]=$(seconds "$tarn" -r "$key" -k 10 -j 2 -i "$file")
    total=$(awk -v a="$total" -v b="${took[$key]}" 'BEGIN { print a + b }')
done
printf '%-10s %9s %7s\n' rule seconds ratio
for key in $keys; do
    printf '%-10s %9s %7s\n' "$key" "${took[$key]}" "$(ratio "${took[$key]}" "${took[lof]}")"
done
all=$(seconds "$tarn" -r all -k 10 -j 2 -i "$file")
echo "-r all: ${all} s against ${total} s for the runs one by one: $(ratio "$total" "$all") times faster"

echo
echo "knn against R's dbscan::kNNdist on quakes (k = 5)"
.ci/packages r-cran-dbscan
quakes="$data/quakes.txt"
Rscript -e 'q <- unique(datasets::quakes[, c("lat", "long", "depth")])
write.table(cbind(q, 0), quote = FALSE, row.names = FALSE, col.names = FALSE)' >"$quakes"
theirs=$(Rscript -e 'suppressPackageStartupMessages(library(dbscan))
x <- as.matrix(read.table(commandArgs(TRUE)[1]))[, 1:3]
writeLines(sprintf("%.9g", kNNdist(x, k = 5)))' "$quakes")
ours=$("$tarn" -r knn -s -k 5 -i "$quakes" | cut -d' ' -f1)
rows=$(wc -l <"$quakes")
same=$(paste -d' ' <(echo "$theirs") <(echo "$ours") | awk '$1 == $2' | wc -l)
echo "$same of $rows distances to the 5th neighbour agree to 9 significant digits"
