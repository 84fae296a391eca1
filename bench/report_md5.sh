#!/usr/bin/env bash
# Prints one md5 per report (text report, -s, -o, -c, -z, -e's evaluation, the picture, the -O
# table) over every rule and builder on seeded data, so that a change meant to move code
# without changing output can be checked: run it before and after and diff the two tables.
#   bench/report_md5.sh TARN [TARN_MPI]   (TARN_MPI adds runs at 1, 2 and 3 processes)
set -uo pipefail
tarn=$(realpath "$1")
mpi=${2:+$(realpath "$2")}
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
python3 - <<'PY'
import random
r = random.Random(7)
with open("clusters.txt", "w") as f:
    for i in range(700):
        c = i % 3
        row = [r.gauss(c * 5, 1 + c) for _ in range(4)]
        f.write(" ".join(f"{x:.6f}" for x in row) + " 0\n")
    for i in range(40):
        f.write(" ".join(f"{r.uniform(-20, 30):.6f}" for _ in range(4)) + " 1\n")
    for i in range(30):  # exact duplicates: infinite densities
        f.write("1.5 1.5 1.5 1.5 0\n")
with open("scaled.txt", "w") as f:
    for i in range(300):
        f.write(f"{r.gauss(0, 1e-3):.9g} {r.gauss(0, 1e4):.9g} {r.uniform(0, 1) < 0.05:d}\n")
PY
cp "$root/examples/sample.txt" "$root/examples/iris.csv" .
rules=("" "-m" "-M" "-X" "-l" "-I 2" "-M -T 0.3" "-X -T 0.5" "-l -T 1.5")
builders=("" "-x" "-b" "-j 2")
extras=("" "-s" "-o" "-c 0.1" "-z" "-e" "-s -o -c 0.05 -z")
run() {  # label, then the command; prints md5 of stdout+stderr and of any picture or table
    local out
    out=$("$@" 2>&1; echo "status $?")
    printf '%s  %s\n' "$(md5sum <<<"$out" | cut -c1-32)" "${*:2}"
}
for data in clusters.txt scaled.txt sample.txt; do
    for rule in "${rules[@]}"; do
        for builder in "${builders[@]}"; do
            for extra in "${extras[@]}"; do
                # shellcheck disable=SC2086
                run "$tarn" -i $data -k 5 $rule $builder $extra
            done
        done
    done
done
for rule in "${rules[@]}"; do
    # shellcheck disable=SC2086
    run "$tarn" -i iris.csv -k 4 $rule -P virginica -e -s -g pic.svg -O table.csv
    printf '%s  picture and table of the run above\n' "$(cat pic.svg table.csv | md5sum | cut -c1-32)"
    # shellcheck disable=SC2086
    run "$tarn" -i sample.txt -k 6 $rule -g pic.svg -G 2,1 -c 0.02
    printf '%s  picture of the run above\n' "$(md5sum <pic.svg | cut -c1-32)"
done
[ -n "$mpi" ] || exit 0
for np in 1 2 3; do
    for rule in "${rules[@]}"; do
        for extra in "" "-s -o -e" "-o -c 0.1 -z" "-s -b"; do
            # shellcheck disable=SC2086
            # standard error apart: the launcher interleaves the two streams as they come
            out=$("$root/mpi/tarn-mpirun" -np "$np" "$mpi" -i clusters.txt -k 5 $rule $extra \
                2>err.txt; cat err.txt)
            printf '%s  mpi %s %s %s\n' "$(md5sum <<<"$out" | cut -c1-32)" "$np" "$rule" "$extra"
        done
    done
done
