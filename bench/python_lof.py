"""Runs each case of bench/python.sh in a child process and prints the table.

A child generates the data, notes its resident memory, makes the one call and prints the call's
wall time and its peak resident memory (VmHWM) less the memory before the call.
"""

import subprocess
import sys

CHILD = r"""
import sys, time
import numpy as np
program, n, d, jobs, method = sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), int(sys.argv[4]), sys.argv[5]
rng = np.random.default_rng(2027)
centres = rng.uniform(0, 100, size=(20, d))
X = centres[rng.integers(0, 20, size=n)] + rng.normal(size=(n, d))
if program == "tarn":
    import tarn
    run = lambda: tarn.detect(X, 10, rule="lof", n_jobs=jobs, method=method).lof
else:
    from sklearn.neighbors import LocalOutlierFactor
    run = lambda: -LocalOutlierFactor(n_neighbors=10, n_jobs=jobs).fit(X).negative_outlier_factor_
def status(field):
    for line in open("/proc/self/status"):
        if line.startswith(field):
            return int(line.split()[1]) / 1024
before = status("VmRSS")
start = time.perf_counter()
lof = run()
elapsed = time.perf_counter() - start
print(elapsed, status("VmHWM") - before, float(np.median(lof)))
"""


def main():
    sets, jobs, method = sys.argv[1].split(), [int(j) for j in sys.argv[2].split()], sys.argv[3]
    print(f"k = 10, tarn method {method}; seconds and MiB added at peak")
    print("ratios: scikit-learn's figure / tarn's (above 1: tarn takes less)")
    print(f"{'n x d':>12} {'jobs':>4} {'tarn s':>8} {'sklearn s':>9} {'ratio':>6} "
          f"{'tarn MiB':>9} {'sklearn MiB':>11} {'ratio':>6}")
    for shape in sets:
        n, d = (int(x) for x in shape.split("x"))
        for j in jobs:
            figures = {}
            for program in ("tarn", "sklearn"):
                out = subprocess.run([sys.executable, "-c", CHILD, program, str(n), str(d),
                                      str(j), method], capture_output=True, text=True, check=True)
                figures[program] = [float(x) for x in out.stdout.split()]
            (ts, tm, tmed), (ss, sm, smed) = figures["tarn"], figures["sklearn"]
            assert abs(tmed - smed) <= 1e-6 * smed, (tmed, smed)  # the same factors
            print(f"{shape:>12} {j:>4} {ts:8.2f} {ss:9.2f} {ss / ts:6.2f} {tm:9.0f} {sm:11.0f} "
                  f"{sm / max(tm, 1):6.2f}", flush=True)


main()
