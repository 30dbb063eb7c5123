#!/bin/sh
# Builds the benchmarks in Release and prints one table of ratios.
set -e
cd "$(dirname "$0")/.."
log=$(mktemp)
trap 'rm -f "$log"' EXIT
# Quiet when it builds; the whole output when it does not.
build() {
	if ! "$@" >"$log" 2>&1; then
		cat "$log" >&2
		echo "bench/run.sh: build failed: $*" >&2
		exit 1
	fi
}
build cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DQUILLMERE_BENCH=ON -DQUILLMERE_TESTS=OFF
build cmake --build build-bench -j "$(nproc)" --target quillmere logger_bench conn_bench bench_opener
python3 bench/report.py build-bench
