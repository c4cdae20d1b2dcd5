#!/usr/bin/env bash
# Runs one fuzz target on the seeds in SOURCE_DIR/{corpus,regressions}/NAME (never written):
#   run_target.sh EXE SOURCE_DIR NAME WORK inputs         every input once
#   run_target.sh EXE SOURCE_DIR NAME WORK fuzz SECONDS   fuzzes that long, starting from them
# New inputs go to WORK/corpus, crash files to WORK/artifacts. Exits non-zero when the target
# crashes, leaks, hangs, runs out of memory or trips a sanitizer.
set -euo pipefail
exe="$1" source="$2" name="$3" work="$4" mode="$5"
mkdir -p "$work/corpus" "$work/artifacts"
common=(-timeout=10 -rss_limit_mb=2560 "-artifact_prefix=$work/artifacts/")
shopt -s nullglob
if [ "$mode" = inputs ]; then
  files=("$source/corpus/$name"/* "$source/regressions/$name"/*)
  ((${#files[@]})) || { echo "no inputs for $name in $source/corpus/$name" >&2; exit 1; }
  exec "$exe" "${common[@]}" "${files[@]}"
fi
dirs=("$work/corpus")
for dir in "$source/corpus/$name" "$source/regressions/$name"; do [ -d "$dir" ] && dirs+=("$dir"); done
exec "$exe" "${common[@]}" -max_total_time="$6" -print_final_stats=1 "${dirs[@]}"
