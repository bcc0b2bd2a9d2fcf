#!/usr/bin/env bash
# Runs every fuzz target as a libFuzzer program for SECONDS each (default 60), one after the
# other, starting from its seed corpus (fuzz/corpus/NAME, which it does not change; new inputs
# go to build/fuzz/corpus/NAME). Prints each target's executions, coverage and crashes; crash
# inputs are left in build/fuzz/crashes/NAME. `scripts/fuzz.sh SECONDS NAME...` runs only those.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
shift || true
bash scripts/bootstrap.sh fuzz
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz
targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  for f in fuzz/*_fuzz.cpp; do
    n=$(basename "$f" _fuzz.cpp)
    targets+=("$n")
  done
fi
printf '%-20s %12s %8s %8s %s\n' target executions coverage features crashes
failed=0
for t in "${targets[@]}"; do
  corpus=build/fuzz/corpus/$t
  crashes=build/fuzz/crashes/$t
  mkdir -p "$corpus" "$crashes" fuzz/corpus/"$t"
  log=build/fuzz/$t.log
  set +e
  ASAN_OPTIONS=detect_leaks=1 build/fuzz/fuzz/${t}_fuzz -max_total_time="$seconds" \
    -rss_limit_mb=2048 -timeout=10 -print_final_stats=1 -artifact_prefix="$crashes/" \
    "$corpus" fuzz/corpus/"$t" >"$log" 2>&1
  rc=$?
  set -e
  runs=$(grep -o 'stat::number_of_executed_units: *[0-9]*' "$log" | grep -o '[0-9]*$' || echo 0)
  cov=$(grep -o 'cov: [0-9]*' "$log" | tail -1 | grep -o '[0-9]*' || echo 0)
  ft=$(grep -o 'ft: [0-9]*' "$log" | tail -1 | grep -o '[0-9]*' || echo 0)
  found=$(find "$crashes" -type f | wc -l)
  printf '%-20s %12s %8s %8s %s\n' "$t" "${runs:-0}" "${cov:-0}" "${ft:-0}" "$found"
  if [ "$rc" -ne 0 ] || [ "$found" -ne 0 ]; then
    failed=1
    echo "  see $log" >&2
  fi
done
exit $failed
