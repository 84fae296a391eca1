# Sourced by the benchmark scripts: the release build with benchmarks, the programs it makes,
# and the folder where generated data is kept between runs (TARN_BENCH_DATA).
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
cmake --preset bench >/dev/null
cmake --build --preset bench >/dev/null
bin=build/bench/bench
tarn=build/bench/tarn
data=${TARN_BENCH_DATA:-/tmp/tarn-bench}
mkdir -p "$data"
