#!/usr/bin/env bash
# Runs every fuzz target of a build for a set time each: fuzz/run.sh <build folder> <seconds>.
# New inputs go into <build>/fuzz-corpus/<target>; the seeds in fuzz/corpus stay as they are.
# A failing input is kept as <build>/fuzz-crashes/<target>/crash-*; the run then fails.
set -euo pipefail
build=${1:?build folder}
seconds=${2:-60}
here=$(cd "$(dirname "$0")" && pwd)
status=0
while read -r target; do
  [ -n "$target" ] || continue
  work="$build/fuzz-corpus/$target"
  crashes="$build/fuzz-crashes/$target"
  mkdir -p "$work" "$crashes"
  echo "== fuzz_$target for ${seconds} s"
  if ! "$build/bin/fuzz_$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
      -print_final_stats=1 -artifact_prefix="$crashes/" "$work" "$here/corpus/$target" \
      > "$build/fuzz-$target.log" 2>&1; then
    tail -n 40 "$build/fuzz-$target.log"
    echo "fuzz_$target FAILED (inputs kept in $crashes)"
    status=1
  else
    grep -E '^stat::number_of_executed_units|^Done' "$build/fuzz-$target.log" || true
  fi
done < "$build/fuzz_targets.txt"
exit $status
