#!/bin/sh
# Builds the benchmarks in Release and prints one table of ratios.
set -e
cd "$(dirname "$0")/.."
cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DQUILLMERE_BENCH=ON -DQUILLMERE_TESTS=OFF
cmake --build build-bench -j "$(nproc)" --target quillmere logger_bench conn_bench bench_opener
python3 bench/report.py build-bench
