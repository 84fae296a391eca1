#!/usr/bin/env bash
# tarn-mpi against tarn, side by side in one run: whole -l runs with k = 10 of tarn -j 1 and
# -j 2 and of tarn-mpi on 1 and 2 processes (one thread each), on seeded Gaussian clusters with
# 2 % noise. Prints wall seconds, the speed-up over tarn -j 1, the peak resident memory of the
# largest process, and for tarn-mpi on 2 processes the bytes each process sent (Open MPI's
# monitoring) against the design note's bound (doc/distributed.md).
#   bench/mpi.sh                               # n = 50000 and 200000, d = 8 and 32
#   SIZES=20000 DIMS=8 bench/mpi.sh
source "$(dirname "$0")/common.sh"

# tarn-mpi in a release build of its own: the bench preset stays free of MPI.
cmake -S . -B build/bench-mpi -DCMAKE_BUILD_TYPE=Release -DTARN_TESTS=OFF -DTARN_MPI=ON >/dev/null
cmake --build build/bench-mpi --target tarn-mpi -j 2 >/dev/null
tarn_mpi=build/bench-mpi/tarn-mpi
export OMPI_ALLOW_RUN_AS_ROOT=1 OMPI_ALLOW_RUN_AS_ROOT_CONFIRM=1
export OMPI_MCA_btl_vader_single_copy_mechanism=none
mpirun=(mpirun -q --oversubscribe --mca btl self,vader)
monitor=$(mktemp -d)
trap 'rm -rf "$monitor"' EXIT
k=10

printf '%7s %3s %-14s %9s %8s %9s %21s %21s\n' n d run seconds speed-up peak_MiB sent_bytes_0/1 \
    bound_bytes_0/1
for n in ${SIZES:-50000 200000}; do
    for d in ${DIMS:-8 32}; do
        file="$data/n$n-d$d.txt"
        [ -s "$file" ] || "$bin/gendata" "$n" "$d" 1 0.02 >"$file"
        base=""
        for run in "tarn -j 1" "tarn -j 2" "tarn-mpi P=1" "tarn-mpi P=2"; do
            case $run in
                "tarn -j 1") command=("$tarn" -j 1) ;;
                "tarn -j 2") command=("$tarn" -j 2) ;;
                "tarn-mpi P=1") command=("${mpirun[@]}" -np 1 "$tarn_mpi") ;;
                "tarn-mpi P=2")
                    rm -f "$monitor"/*
                    command=("${mpirun[@]}" -np 2 --mca pml_monitoring_enable 1
                        --mca pml_monitoring_enable_output 3
                        --mca pml_monitoring_filename "$monitor/sent" "$tarn_mpi")
                    ;;
            esac
            read -r seconds peak < <("$bin/measure" "${command[@]}" -l -k "$k" -i "$file")
            [ -n "$base" ] || base=$seconds
            speedup=$(awk -v a="$base" -v b="$seconds" 'BEGIN { printf "%.2f", a / b }')
            sent="" bound=""
            if [ "$run" = "tarn-mpi P=2" ]; then
                # Bytes each process sent (point to point and collectives), rank 0's then rank
                # 1's, and the note's bounds for them: every edge of the block to a foreign
                # owner (16 bytes) and both fetches (4-byte questions, 8-byte answers), 40 bytes
                # an edge; rank 0 also broadcasts the vectors, n × ((d + 1) × 8 + 4) bytes, and
                # rank 1 sends its report lines, 16 bytes each.
                sent=$(awk '$1 == "E" { sent[$2] += $4 } END { print sent[0] "/" sent[1] }' \
                    "$monitor"/sent.*.prof)
                bound=$(awk -v n="$n" -v d="$d" -v k="$k" 'BEGIN { block = n / 2
                    printf "%.0f/%.0f", block * k * 40 + n * ((d + 1) * 8 + 4),
                        block * k * 40 + block * 16 }')
            fi
            printf '%7s %3s %-14s %9s %8s %9s %21s %21s\n' "$n" "$d" "$run" "$seconds" \
                "$speedup" "$peak" "$sent" "$bound"
        done
    done
done
