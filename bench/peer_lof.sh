#!/usr/bin/env bash
# tarn's LOF (k = 10, automatic builder, one and two threads) against scikit-learn's
# LocalOutlierFactor (kd-tree, n_jobs 1 and 2) and R's dbscan::lof (one thread) on the same
# generated files, side by side: whole-process wall time (median of ROUNDS, default 1, the
# programs interleaved), peak memory, and tarn's time as a ratio to each peer's at the same
# number of threads (below 1: tarn is faster). The peers come from Debian's archive
# (python3-sklearn, r-cran-dbscan), installed through .ci/packages when missing.
#   bench/peer_lof.sh                   # n = 50,000, d = 8 and n = 1,000,000, d = 2
#   bench/peer_lof.sh 200000 4 [n d …]  # the given data sets
#   ROUNDS=3 bench/peer_lof.sh 50000 8
# One peer's LOF on a tarn input file (last column the label), scores printed like tarn's report:
#   bench/peer_lof.sh sklearn|dbscan file [threads]
set -euo pipefail

peer() {
    local threads=${3:-1}
    case "$1" in
    sklearn)
        OMP_NUM_THREADS=$threads OPENBLAS_NUM_THREADS=1 ${PYTHON:-/usr/bin/python3} - "$2" \
            "$threads" <<'PY'
import sys
import numpy as np
from sklearn.neighbors import LocalOutlierFactor
x = np.loadtxt(sys.argv[1])
lof = LocalOutlierFactor(n_neighbors=10, algorithm="kd_tree", n_jobs=int(sys.argv[2]))
lof.fit(x[:, :-1])
np.savetxt(sys.stdout, np.column_stack((-lof.negative_outlier_factor_, x[:, -1])), fmt="%f %d")
PY
        ;;
    dbscan)
        OMP_NUM_THREADS=1 Rscript -e '
suppressPackageStartupMessages(library(dbscan))
x <- as.matrix(read.table(commandArgs(TRUE)[1]))
s <- lof(x[, -ncol(x)], minPts = 11)
write.table(cbind(sprintf("%f", s), x[, ncol(x)]), quote = FALSE, row.names = FALSE,
            col.names = FALSE)' "$2"
        ;;
    *)
        echo "usage: peer_lof.sh [n d ...] | peer_lof.sh sklearn|dbscan file [threads]" >&2
        exit 2
        ;;
    esac
}

case "${1:-}" in
sklearn | dbscan)
    peer "$@"
    exit
    ;;
esac

script=$(realpath "$0")
"$(dirname "$script")/../.ci/packages" python3-sklearn r-cran-dbscan
source "$(dirname "$script")/common.sh"
[ $# -gt 0 ] || set -- 50000 8 1000000 2
[ $(($# % 2)) -eq 0 ] || peer usage

median() { tr ' ' '\n' | sort -g | awk '{ v[NR] = $0 } END { print v[int((NR + 1) / 2)] }'; }

# The programs, as "name threads command…"; $file is filled in per data set.
programs=("tarn 1" "tarn 2" "sklearn 1" "sklearn 2" "dbscan 1")
command_of() {
    case "$1" in
    tarn) echo "$tarn -l -k 10 -j $2 -i $file" ;;
    *) echo "$script $1 $file $2" ;;
    esac
}

printf '%8s %3s %8s %7s %9s %9s %11s\n' n d program threads seconds peak_MiB tarn_ratio
while [ $# -gt 0 ]; do
    n=$1 d=$2
    shift 2
    file="$data/n$n-d$d.txt"
    [ -s "$file" ] || "$bin/gendata" "$n" "$d" >"$file"
    declare -A seconds=() peak=()
    for ((r = 0; r < ${ROUNDS:-1}; r++)); do
        for program in "${programs[@]}"; do
            read -r wall rss < <("$bin/measure" $(command_of $program))
            seconds[$program]+=" $wall" peak[$program]+=" $rss"
        done
    done
    for program in "${programs[@]}"; do
        set -- $program "$@"
        time=$(echo ${seconds[$program]} | median)
        mine=$(echo ${seconds["tarn $2"]} | median)
        printf '%8s %3s %8s %7s %9s %9s %11s\n' "$n" "$d" "$1" "$2" "$time" \
            "$(echo ${peak[$program]} | median)" \
            "$(awk -v a="$mine" -v b="$time" 'BEGIN { printf "%.2f", a / b }')"
        shift 2
    done
    unset seconds peak
done
