#!/usr/bin/env bash
# tarn-mpi against tarn, side by side in one run: whole -l -k 10 runs on seeded clustered 2-d
# points (n = 10^6 and 10^7 by default) of tarn -j 2 and of tarn-mpi on P = 1, 2 and 4 processes
# of one thread each (4 oversubscribes this machine's 2 cores: right for memory and bytes, not
# for time), over regions and, for comparison, replicating every vector (TARN_MPI_REPLICATE=1).
# For each: wall seconds, the peak resident memory of the largest process and its ratio to
# tarn's, the most bytes one process sent in all and until the lists were made (tarn-mpi's own
# count of its bulk transfers, TARN_MPI_STATS) with their ratios to the vectors' size n × 8d, and
# whether the report is tarn's.
#   bench/mpi.sh                         SIZES=200000 PROCS="1 2" bench/mpi.sh
#   D=16 ARGS=-b SIZES="20000 50000" bench/mpi.sh    (the ring: the brute force's range)
source "$(dirname "$0")/common.sh"

cmake --preset mpi-release >/dev/null
cmake --build build/mpi-release --target tarn-mpi -j 2 >/dev/null
tarn_mpi=build/mpi-release/tarn-mpi
stats=$(mktemp -d)
trap 'rm -rf "$stats"' EXIT
d=${D:-2}
read -r -a args <<<"${ARGS:-}"

row() {
    printf '%9s %-18s %8s %9s %6s %12s %6s %12s %6s %5s\n' "$@"
}
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }

row n run seconds peak_MiB ratio sent_bytes /n·8d lists_bytes /n·8d same
for n in ${SIZES:-1000000 10000000}; do
    file="$data/n$n-d$d.txt"
    [ -s "$file" ] || "$bin/gendata" "$n" "$d" >"$file"
    read -r seconds tarn_peak < <("$bin/measure" "$tarn" -l -k 10 -j 2 "${args[@]}" -i "$file")
    want=$("$tarn" -l -k 10 -j 2 "${args[@]}" -i "$file" | md5sum)
    row "$n" "tarn -j 2" "$seconds" "$tarn_peak" 1.00 - - - - -
    for P in ${PROCS:-1 2 4}; do
        for replicate in 0 1; do
            rm -f "$stats"/*
            start=$(date +%s.%N)
            got=$(TARN_MPI_REPLICATE=$replicate TARN_MPI_STATS="$stats/p" mpi/tarn-mpirun \
                -np "$P" "$tarn_mpi" -l -k 10 -j 1 "${args[@]}" -i "$file" | md5sum)
            seconds=$(awk -v a="$start" -v b="$(date +%s.%N)" 'BEGIN { printf "%.3f", b - a }')
            read -r sent peak lists < <(awk '{ if ($1 > s) s = $1; if ($2 > p) p = $2;
                if ($3 > l) l = $3 } END { printf "%d %.1f %d\n", s, p / 1024, l }' "$stats"/p.*)
            name="tarn-mpi P=$P"
            [ "$replicate" = 1 ] && name="$name copies"
            row "$n" "$name" "$seconds" "$peak" "$(ratio "$peak" "$tarn_peak")" "$sent" \
                "$(ratio "$sent" $((n * 8 * d)))" "$lists" "$(ratio "$lists" $((n * 8 * d)))" \
                "$([ "$got" = "$want" ] && echo yes || echo NO)"
        done
    done
done
