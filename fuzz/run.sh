#!/bin/sh
# Builds the fuzz targets with clang and runs each for a bounded time.
# Any crash, leak, time-out or failed check fails the run.
#   FUZZ_SECONDS   seconds per target (default 60)
#   FUZZ_BUILD_DIR build tree (default build-fuzz)
set -e
cd "$(dirname "$0")/.."
dir=${FUZZ_BUILD_DIR:-build-fuzz}
seconds=${FUZZ_SECONDS:-60}
targets="net_fuzz policy_fuzz logger_fuzz config_fuzz environ_fuzz"

CC=clang CXX=clang++ cmake -S . -B "$dir" -DQUILLMERE_FUZZ=ON -DQUILLMERE_TESTS=OFF \
	-DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUILLMERE_WERROR=ON
for t in $targets; do
	cmake --build "$dir" -j 2 --target "$t"
done

failed=0
for t in $targets; do
	# New inputs go to the build tree; the seeds in the repository stay as they are.
	work="$dir/corpus/$t"
	artifacts="$dir/artifacts/$t"
	mkdir -p "$work" "$artifacts"
	log="$dir/$t.log"
	echo "== $t: ${seconds}s"
	if "$dir/fuzz/$t" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
		-max_len=4096 -print_final_stats=1 -artifact_prefix="$artifacts/" \
		"$work" "fuzz/corpus/$t" >"$log" 2>&1; then
		grep -E '^stat::(number_of_executed_units|average_exec_per_sec|peak_rss_mb)' "$log" || true
	else
		tail -n 60 "$log"
		echo "$t: finding, see $log and $artifacts" >&2
		failed=1
	fi
done
exit $failed
