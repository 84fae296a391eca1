#!/usr/bin/env bash
# The automatic choice of builder against the two forced ones, over the grid of sizes,
# dimensions and data kinds: whole-process wall time of `-l -k 10` runs on one thread with -b
# (tiled brute force) and with -x (k-d tree), run side by side, interleaved, medians of ROUNDS;
# then the builder tarn picks without either option (bench/method, the same function the run
# calls) and the picked one's time as a ratio to the faster one.
#   bench/grid.sh                                     # the whole grid
#   SIZES="10000 50000" DIMS="2 16" KINDS=uniform ROUNDS=5 bench/grid.sh
# A run the smaller sizes predict to take more than LIMIT seconds (default 60) is not run; its
# time is extrapolated from the largest measured sizes of the same d and kind and printed with a
# '*': the brute force's as n², the tree's as n^a with a fitted on the two largest sizes and kept
# in [1, 2] (n log n when only one size was measured). Where no file of that size was
# generated, the pick reads the largest file of that d and kind, with n in the choice set to the
# cell's n.
# Kinds: clustered (8 Gaussian clusters, 2 % uniform noise), uniform.
source "$(dirname "$0")/common.sh"
cmake --build --preset bench --target method >/dev/null

rounds=${ROUNDS:-3}
limit=${LIMIT:-60}

seconds() { "$bin/measure" "$@" | cut -d' ' -f1; }
median() { tr ' ' '\n' | sort -g | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }

# extrapolate method n: the time predicted from the measured sizes of the current cell's d and
# kind (sizes and times in hist_n_<method>, hist_t_<method>), or nothing without any.
extrapolate() {
    local -n ns="hist_n_$1" ts="hist_t_$1"
    local count=${#ns[@]}
    [ "$count" -gt 0 ] || return 0
    local n1=${ns[count - 1]} t1=${ts[count - 1]} n0="" t0=""
    if [ "$count" -gt 1 ]; then n0=${ns[count - 2]}; t0=${ts[count - 2]}; fi
    awk -v n="$2" -v n1="$n1" -v t1="$t1" -v n0="$n0" -v t0="$t0" -v m="$1" 'BEGIN {
        if (m == "brute") printf "%.3f", t1 * (n / n1) ^ 2
        else if (n0 != "") { a = log(t1 / t0) / log(n1 / n0); if (a < 1) a = 1; if (a > 2) a = 2
                             printf "%.3f", t1 * (n / n1) ^ a }
        else printf "%.3f", t1 * n * log(n) / (n1 * log(n1)) }'
}

printf '%7s %3s %9s %9s %9s %6s %6s %6s\n' n d kind brute_s tree_s dim pick ratio
for kind in ${KINDS:-clustered uniform}; do
    noise=0.02 suffix=""
    [ "$kind" = uniform ] && noise=1 suffix=-noise1
    for d in ${DIMS:-1 2 4 8 12 16 32 64}; do
        hist_n_brute=() hist_t_brute=() hist_n_tree=() hist_t_tree=()
        largest=""
        for n in ${SIZES:-10000 50000 200000 1000000}; do
            file="$data/n$n-d$d$suffix.txt"
            declare -A time=() mark=() runs=()
            for method in brute tree; do
                predicted=$(extrapolate "$method" "$n")
                if [ -n "$predicted" ] && awk -v p="$predicted" -v l="$limit" 'BEGIN { exit !(p > l) }'
                then
                    time[$method]=$predicted mark[$method]='*'
                else
                    runs[$method]="" mark[$method]=''
                fi
            done
            if [ ${#runs[@]} -gt 0 ]; then
                [ -s "$file" ] || "$bin/gendata" "$n" "$d" 1 "$noise" >"$file"
                for ((r = 0; r < rounds; r++)); do
                    order="brute tree"
                    [ $((r % 2)) -eq 1 ] && order="tree brute"
                    for method in $order; do
                        [ -n "${runs[$method]+set}" ] || continue
                        flag=-b
                        [ "$method" = tree ] && flag=-x
                        runs[$method]+=" $(seconds "$tarn" "$flag" -l -k 10 -i "$file")"
                    done
                done
                for method in "${!runs[@]}"; do
                    time[$method]=$(echo ${runs[$method]} | median)
                    declare -n hn="hist_n_$method" ht="hist_t_$method"
                    hn+=("$n") ht+=("${time[$method]}")
                done
            fi
            [ -s "$file" ] && largest=$file
            read -r _ _ dim pick < <("$bin/method" "$largest" 10 "$n")
            ratio=$(awk -v b="${time[brute]}" -v t="${time[tree]}" -v p="$pick" 'BEGIN {
                fast = b < t ? b : t; printf "%.2f", (p == "tree" ? t : b) / fast }')
            printf '%7s %3s %9s %9s %9s %6s %6s %6s\n' "$n" "$d" "$kind" \
                "${time[brute]}${mark[brute]}" "${time[tree]}${mark[tree]}" "$dim" "$pick" "$ratio"
            unset time mark runs
        done
    done
done
