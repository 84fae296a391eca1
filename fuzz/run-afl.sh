#!/usr/bin/env bash
# Fuzzes whole tarn runs on their input file with AFL++ (Debian's afl++ package), the binary
# built with AddressSanitizer and UndefinedBehaviorSanitizer. One single-job campaign per call:
#   fuzz/run-afl.sh default 1800   # the default rule, 30 minutes
#   fuzz/run-afl.sh lof 1800       # the local outlier factor (-l)
#   fuzz/run-afl.sh picture 1800   # -l with the marks, the evaluation (-e) and the picture (-g)
# The campaign starts from fuzz/corpus/run and writes to fuzz-out/<rule>. Crashes and hangs are
# in fuzz-out/<rule>/default/{crashes,hangs}; inputs worth keeping go into fuzz/corpus/run,
# which the corpus replay test runs on every CI run.
set -euo pipefail
cd "$(dirname "$0")/.."
rule=${1:-default}
seconds=${2:-1800}
case "$rule" in
    default) flags=() ;;
    lof) flags=(-l) ;;
    picture)
        # The picture is written, synced and renamed on every run: on a memory file system
        # that costs no disk flush.
        folder=$(mktemp -d "$( [ -d /dev/shm ] && echo /dev/shm || echo "${TMPDIR:-/tmp}")/tarn-afl-XXXXXX")
        flags=(-l -o -e -g "$folder/picture.svg") ;;
    *) echo "usage: fuzz/run-afl.sh default|lof|picture [seconds]" >&2; exit 2 ;;
esac
cmake --preset afl >/dev/null
cmake --build --preset afl >/dev/null
out=fuzz-out/$rule
mkdir -p "$out"
export AFL_SKIP_CPUFREQ=1 AFL_I_DONT_CARE_ABOUT_MISSING_CRASHES=1 AFL_NO_UI=1 AFL_NO_AFFINITY=1
export ASAN_OPTIONS=abort_on_error=1:symbolize=0:detect_leaks=1
export UBSAN_OPTIONS=halt_on_error=1:abort_on_error=1:symbolize=0
exec afl-fuzz -i fuzz/corpus/run -o "$out" -x fuzz/run.dict -m none -t 2000 -V "$seconds" -- \
    build/afl/tarn "${flags[@]}" -i @@
