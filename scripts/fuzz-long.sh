#!/usr/bin/env bash
# Fuzzes every target (or the ones named) for a long time, niced, one after another, in the
# fuzz build dir build-fuzz/ (configured with clang++ and -DFUZZ=ON when missing), then prints
# each target's executions. New inputs are kept in build-fuzz/fuzz/work/NAME/corpus, so a
# later run goes on from them; crash files land in build-fuzz/fuzz/work/NAME/artifacts: copy
# each into fuzz/regressions/NAME/ once the crash is fixed.
#   scripts/fuzz-long.sh [SECONDS_EACH (default 600)] [NAME...]
# Exits non-zero when any target failed.
set -uo pipefail
cd "$(dirname "$0")/.."

seconds="${1:-600}"
shift || true
dir=build-fuzz
if [ ! -f "$dir/build.ninja" ]; then
  mkdir -p "$dir"
  cmake -S . -B "$dir" -G Ninja -DCMAKE_CXX_COMPILER=clang++ -DFUZZ=ON >"$dir/configure.log" 2>&1 ||
    { cat "$dir/configure.log" >&2; exit 1; }
fi
nice -n 19 ninja -C "$dir" fuzz_targets >"$dir/fuzz-build.log" 2>&1 ||
  { tail -n 50 "$dir/fuzz-build.log" >&2; exit 1; }

names=("$@")
if ((${#names[@]} == 0)); then
  for source in fuzz/*_fuzz.cpp; do
    base="$(basename "$source" .cpp)"
    names+=("${base%_fuzz}")
  done
fi

failed=0
total=0
summary=()
for name in "${names[@]}"; do
  work="$dir/fuzz/work/$name"
  mkdir -p "$work"
  log="$work/long.log"
  echo "== $name: fuzzing for ${seconds}s (log: $log)"
  # The bridge's own log lines (an NPC's remembered folder is gone, ...) are dropped: at this
  # many runs they would fill the disk.
  nice -n 19 fuzz/run_target.sh "$dir/fuzz/${name}_fuzz" fuzz "$name" "$work" fuzz "$seconds" \
    2>&1 | grep -av '^\[bridge\] ' >"$log"
  status="${PIPESTATUS[0]}"
  runs="$(grep -ao 'stat::number_of_executed_units: [0-9]*' "$log" | tail -n 1 | awk '{print $2}')"
  runs="${runs:-0}"
  total=$((total + runs))
  if [ "$status" != 0 ]; then
    failed=1
    summary+=("$name: FAILED after $runs runs (status $status; see $log and $work/artifacts)")
  else
    summary+=("$name: $runs runs, nothing found")
  fi
done
printf '%s\n' "${summary[@]}"
echo "total: $total runs"
exit "$failed"
