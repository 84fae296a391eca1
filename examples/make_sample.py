#!/usr/bin/env python3
"""Writes sample.txt: three Gaussian clusters of 2-D points (label 0) and a handful of planted
outliers far from every cluster (label 1). Seeded, so the file is the same on every run."""
import random

rng = random.Random(20041117)
clusters = [((2.0, 2.0), 0.5, 120), ((8.0, 3.0), 0.8, 100), ((5.0, 8.0), 0.6, 80)]
outliers = [(11.5, 9.5), (0.0, 9.0), (5.0, 0.0), (12.0, 0.0), (-1.5, 5.0), (9.5, 11.5),
            (2.0, 12.5), (14.0, 6.0)]

points = []
for (cx, cy), spread, count in clusters:
    points += [(rng.gauss(cx, spread), rng.gauss(cy, spread), 0) for _ in range(count)]
points += [(x, y, 1) for x, y in outliers]
rng.shuffle(points)

with open("sample.txt", "w") as out:
    out.write("# x y label (1 = planted outlier)\n")
    for x, y, label in points:
        out.write(f"{x:.4f} {y:.4f} {label}\n")
