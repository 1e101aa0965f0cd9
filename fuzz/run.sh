#!/usr/bin/env bash
# Builds the fuzz targets and runs each for a bounded time from its seed
# corpus; fails when a target finds a crash, a leak or a failed check.
#
#   fuzz/run.sh [SECONDS_PER_TARGET] [BUILD_DIR] [TARGET...]
#
# New inputs go to a work folder under the build folder, not into the
# repository's seed corpus; a crashing input is left there as crash-*.
set -euo pipefail
cd "$(dirname "$0")/.."
secs=${1:-7}
build=${2:-build/fuzz}
case $build in /*) ;; *) build="$PWD/$build" ;; esac
shift $(( $# > 2 ? 2 : $# )) || true
targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  targets=(params password authlevel confline traceconf auditconf cookie scrypt kelpasswd journal)
fi

CC=clang CXX=clang++ cmake -S . -B "$build" -G Ninja -DKEL_BUILD_FUZZ=ON -DKEL_BUILD_TESTS=OFF \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" --target fuzz_all -j2

export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:allocator_may_return_null=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
status=0
for t in "${targets[@]}"; do
  work="$build/fuzz-work/$t"
  mkdir -p "$work/corpus"
  cp -n fuzz/corpus/"$t"/* "$work/corpus/" 2>/dev/null || true
  log="$work/log.txt"
  rm -rf "$work/tmp" && mkdir -p "$work/tmp"
  if (cd "$work" && TMPDIR="$PWD/tmp" "$build/bin/fuzz_$t" -max_total_time="$secs" -timeout=10 \
        -rss_limit_mb=1024 -max_len=12000 -print_final_stats=1 corpus >log.txt 2>&1); then
    runs=$(grep -o 'stat::number_of_executed_units: *[0-9]*' "$log" | grep -o '[0-9]*$' || true)
    cov=$(grep -o 'cov: [0-9]*' "$log" | tail -1 || true)
    echo "fuzz_$t: ok, ${runs:-?} runs, ${cov:-cov: ?}"
  else
    echo "fuzz_$t: FAILED (see $log)"
    grep -E 'ERROR|check failed|SUMMARY|Test unit written' "$log" | head -5 || true
    status=1
  fi
  rm -rf "$work/tmp"
done
exit $status
