#!/usr/bin/env bash
# Inputs that once made a path slow, side by side in one run: whole-process wall time, the
# median of REPEAT runs (default 3), as ratios to the run each must keep up with.
#   tree: -x against the brute force on equal vectors and massive ties (-l, k = 10, d = 2)
#   ties: -x and the automatic choice against the brute force where every distance ties
#         (squares that all overflow or all underflow), and the automatic choice on inputs
#         that once misled its estimate
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
# n distinct points (i mod 200, i / 200) × scale, every pair's square overflowing (scale 1e300)
# or underflowing (1e-170); in file order row by row, or shuffled (the i-th line holds point
# i × 7919 mod n).
tie_file() {
    local file="$data/ties-$1-$2-$3.txt"
    [ -s "$file" ] || awk -v scale="$1" -v n="$2" -v order="$3" 'BEGIN {
        for (i = 0; i < n; ++i) {
            p = order == "shuffled" ? (i * 7919) % n : i
            printf "%.17g %.17g %d\n", (p % 200) * scale, int(p / 200) * scale, i % 2
        } }' >"$file"
    echo "$file"
}
# n seeded points uniform in d columns, the first of them at 1e300 in every column.
far_first_file() {
    local file="$data/far-first-$1-$2.txt"
    [ -s "$file" ] || { awk -v d="$2" 'BEGIN { for (c = 0; c < d; ++c) printf "1e300 "; print 1 }'
        "$bin/gendata" "$(($1 - 1))" "$2" 3 1; } >"$file"
    echo "$file"
}

# Interleaved rounds of the given commands (separated by ::), each run `repeat` times; prints
# the median wall time of each.
medians() {
    local commands=() current=()
    for word in "$@"; do
        if [ "$word" = :: ]; then commands+=("${current[*]}"); current=(); else current+=("$word"); fi
    done
    commands+=("${current[*]}")
    for round in $(seq "$repeat"); do
        for c in "${!commands[@]}"; do
            # shellcheck disable=SC2086
            echo "$c $("$bin/measure" ${commands[$c]} 2>/dev/null | cut -d' ' -f1)"
        done
    done | sort -k1,1n -k2,2g | awk '{ v[$1] = v[$1] " " $2; c[$1]++ }
        END { for (i = 0; i in v; ++i) { split(v[i], t, " "); printf "%s ", t[int((c[i] + 1) / 2)] }
              print "" }'
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
echo "ties: every distance infinite or 0, -l -k 10 (ratios to the brute force; goal <= 1.5)"
printf '%-28s %9s %9s %9s %7s %7s\n' input brute_s index_s auto_s index auto
for input in "1e300 20000 rows" "1e300 40000 rows" "1e-170 20000 rows" "1e-170 40000 rows" \
    "1e300 20000 shuffled" "1e-170 20000 shuffled"; do
    set -- $input
    file=$(tie_file "$1" "$2" "$3")
    read -r brute index auto < <(medians "$tarn" -b -l -k 10 -i "$file" :: \
        "$tarn" -x -l -k 10 -i "$file" :: "$tarn" -l -k 10 -i "$file")
    printf '%-28s %9s %9s %9s %7s %7s\n' "$input" "$brute" "$index" "$auto" \
        "$(ratio "$index" "$brute")" "$(ratio "$auto" "$brute")"
done
echo "the automatic choice: one vector far away in 16 uniform columns, and 3000 columns of"
echo "300 vectors (ratio = automatic / brute force; goal <= 1.15)"
printf '%-28s %9s %9s %7s\n' input brute_s auto_s auto
for input in "far 20000 16" "wide 300 3000"; do
    set -- $input
    if [ "$1" = far ]; then
        file=$(far_first_file "$2" "$3")
    else
        file="$data/n$2-d$3.txt"
        [ -s "$file" ] || "$bin/gendata" "$2" "$3" 5 1 >"$file"
    fi
    read -r brute auto < <(medians "$tarn" -b -l -k 10 -i "$file" :: "$tarn" -l -k 10 -i "$file")
    printf '%-28s %9s %9s %7s\n' "$input" "$brute" "$auto" "$(ratio "$auto" "$brute")"
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
