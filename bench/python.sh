#!/usr/bin/env bash
# tarn.detect(rule="lof") against scikit-learn's LocalOutlierFactor, k = 10, on seeded clustered
# points (50,000 x 8 and 1,000,000 x 2 by default), one thread and two, side by side in one
# run: wall time of the call and the peak memory it adds, each case in a process of its own.
#   SETS="50000x8 1000000x2" JOBS="1 2" METHOD=tree bench/python.sh
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
cmake --workflow --preset python >/dev/null
export PYTHONPATH=$PWD/build/python/python OMP_NUM_THREADS=1 OPENBLAS_NUM_THREADS=1
exec /usr/bin/python3 bench/python_lof.py "${SETS:-50000x8 1000000x2}" "${JOBS:-1 2}" \
    "${METHOD:-tree}"
