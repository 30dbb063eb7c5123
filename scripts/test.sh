#!/bin/sh
# Builds and runs every test twice: in the normal build and in a build with
# AddressSanitizer and UndefinedBehaviorSanitizer.
set -e
cd "$(dirname "$0")/.."
jobs=$(nproc)

run() {
	dir=$1; shift
	cmake -S . -B "$dir" "$@"
	cmake --build "$dir" -j "$jobs"
	rm -rf "$dir/sanitizer"
	ctest --test-dir "$dir" --output-on-failure -j "$jobs"
	# Reports from processes whose standard error went nowhere.
	if [ -n "$(ls -A "$dir/sanitizer" 2>/dev/null)" ]; then
		cat "$dir"/sanitizer/*
		echo "sanitizer reports in $dir/sanitizer" >&2
		exit 1
	fi
}

# CI's builds: shadowed names warned of, and every warning an error.
run build -DQUILLMERE_WERROR=ON
run build-asan -DQUILLMERE_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug -DQUILLMERE_WERROR=ON

# Every fuzz target for a bounded time, in a clang build of its own.
fuzz/run.sh
