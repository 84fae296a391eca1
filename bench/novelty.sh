#!/usr/bin/env bash
# Scoring new data against a reference, side by side in one run (N = 1,000,000 by default):
#   N new clustered 2-d points scored against N reference points, k = 10, local outlier factor:
#   tarn's whole run (-R, -j 2, reading both text files), tarn.detect(reference=) from memory,
#   and scikit-learn's LocalOutlierFactor(novelty=True, n_jobs=2) fit and score_samples from
#   memory; then the saved model (-W) read back against the reference rebuilt from its text,
#   each followed by scoring one vector.
#   bench/novelty.sh            N=200000 bench/novelty.sh
source "$(dirname "$0")/common.sh"
n=${N:-1000000}
reference="$data/n$n-d2.txt"
queries="$data/n$n-d2-s2.txt"
[ -s "$reference" ] || "$bin/gendata" "$n" 2 >"$reference"
[ -s "$queries" ] || "$bin/gendata" "$n" 2 2 >"$queries"
one="$data/one-d2.txt"
echo "50 50 0" >"$one"
model="$data/n$n-k10.tarn"
seconds() { "$bin/measure" "$@" 2>/dev/null | cut -d' ' -f1; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }

cli=$(seconds "$tarn" -l -k 10 -j 2 -R "$reference" -i "$queries")
echo "n = $n new against n reference, d = 2, k = 10, two threads"
echo "tarn -l -R (whole run, text in):   $cli s"
cmake --workflow --preset python >/dev/null
PYTHONPATH=$PWD/build/python/python OMP_NUM_THREADS=1 /usr/bin/python3 - "$reference" "$queries" <<'PY'
import sys, time
import numpy as np
import tarn
from sklearn.neighbors import LocalOutlierFactor
R = np.loadtxt(sys.argv[1])[:, :2]
X = np.loadtxt(sys.argv[2])[:, :2]
start = time.perf_counter()
ours = tarn.detect(X, 10, rule="lof", reference=R, n_jobs=2).lof
mine = time.perf_counter() - start
start = time.perf_counter()
theirs = -LocalOutlierFactor(n_neighbors=10, novelty=True, n_jobs=2).fit(R).score_samples(X)
sk = time.perf_counter() - start
print(f"tarn.detect(reference=):          {mine:.2f} s")
print(f"scikit-learn novelty LOF:         {sk:.2f} s   ratio {sk / mine:.2f} (above 1: tarn faster)")
print(f"largest relative difference:      {np.max(np.abs(ours - theirs) / ours):.2e}")
PY
save=$(seconds "$tarn" -k 10 -j 2 -W "$model" -R "$reference")
rebuilt=$(seconds "$tarn" -l -k 10 -j 2 -R "$reference" -i "$one")
loaded=$(seconds "$tarn" -l -j 2 -R "$model" -i "$one")
echo "model: written in $save s ($(du -h "$model" | cut -f1)); one vector scored against the"
echo "  rebuilt reference $rebuilt s, against the model $loaded s: $(ratio "$rebuilt" "$loaded") times faster"
