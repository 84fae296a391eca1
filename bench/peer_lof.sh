#!/usr/bin/env bash
# Another program's LOF with a kd-tree, k = 10, one thread, on a tarn input file (last column
# the label), scores printed like tarn's report: peer_lof.sh sklearn|dbscan file
set -euo pipefail
case "$1" in
sklearn)
    OMP_NUM_THREADS=1 OPENBLAS_NUM_THREADS=1 ${PYTHON:-/usr/bin/python3} - "$2" <<'PY'
import sys
import numpy as np
from sklearn.neighbors import LocalOutlierFactor
x = np.loadtxt(sys.argv[1])
lof = LocalOutlierFactor(n_neighbors=10, algorithm="kd_tree", n_jobs=1)
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
    echo "usage: peer_lof.sh sklearn|dbscan file" >&2
    exit 2
    ;;
esac
