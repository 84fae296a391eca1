#!/usr/bin/env bash
# Inputs that once made a path slow, side by side in one run: whole-process wall time, the
# median of REPEAT runs (default 3), as ratios to the run each must keep up with.
#   tree: -x against the brute force on equal vectors and massive ties (-l, k = 10, d = 2)
#   rule: -l and -m against the default rule at the same k, on -j 1 and -j 2
#   bench/rules.sh
#   BASE=build/base/tarn bench/rules.sh    # adds the -l runs of another tarn binary
source "$(dirname "$0")/common.sh"
repeat=${REPEAT:-3}

# The median wall time of `repeat` runs of a command.
median() {
    for _ in $(seq "$repeat"); do "$bin/measure" "$@" | cut -d' ' -f1; done |
        sort -g | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'
}
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }

# n equal vectors, then `others` seeded points around them.
equal_file() {
    local file="$data/equal-$1-$2.txt"
    [ -s "$file" ] || awk -v n="$1" -v others="$2" 'BEGIN {
        srand(7)
        for (i = 0; i < n; ++i) print "50.5 20.25 0"
        for (i = 0; i < others; ++i) printf "%.6f %.6f 1\n", rand() * 100, rand() * 100 }' >"$file"
    echo "$file"
}
# n points on a 40 × 40 integer grid: every point has hundreds of equal points and ties at
# every distance.
grid_file() {
    local file="$data/grid-$1.txt"
    [ -s "$file" ] || awk -v n="$1" 'BEGIN {
        srand(11)
        for (i = 0; i < n; ++i) printf "%d %d %d\n", int(rand() * 40), int(rand() * 40), i % 2 }' \
        >"$file"
    echo "$file"
}


echo "tree: -x against the brute force, -l -k 10 (ratio = -x / brute force; goal <= 1.5)"
printf '%-28s %9s %9s %7s\n' input brute_s index_s ratio
for input in "equal 49990 10" "equal 50000 0" "grid 50000"; do
    set -- $input
    if [ "$1" = equal ]; then file=$(equal_file "$2" "$3"); else file=$(grid_file "$2"); fi
    brute=$(median "$tarn" -b -l -k 10 -i "$file")
    index=$(median "$tarn" -x -l -k 10 -i "$file")
    printf '%-28s %9s %9s %7s\n' "$input" "$brute" "$index" "$(ratio "$index" "$brute")"
done

echo
echo "rules: against the default rule at the same k (ratio = rule / default; goal for -m <= 1.5)"
printf '%-24s %-6s %3s %5s %9s %9s %7s\n' input binary j rule default_s rule_s ratio
for input in "5000 8 1000 m" "50000 8 10 l" "200000 2 10 l" "200000 2 10 m"; do
    set -- $input
    n=$1 d=$2 k=$3 rule=$4
    file="$data/n$n-d$d.txt"
    [ -s "$file" ] || "$bin/gendata" "$n" "$d" >"$file"
    binaries=("$tarn")
    [ -n "${BASE:-}" ] && [ "$rule" = l ] && binaries+=("$BASE")
    for b in "${binaries[@]}"; do
        for j in 1 2; do
            flags=(-k "$k" -j "$j" -i "$file")
            if [ "$d" -le 8 ]; then flags+=(-x); else flags+=(-b); fi
            plain=$(median "$b" "${flags[@]}")
            ruled=$(median "$b" "${flags[@]}" "-$rule")
            printf '%-24s %-6s %3s %5s %9s %9s %7s\n' "n $n d $d k $k" \
                "$([ "$b" = "$tarn" ] && echo new || echo base)" "$j" "-$rule" "$plain" "$ruled" \
                "$(ratio "$ruled" "$plain")"
        done
    done
done
