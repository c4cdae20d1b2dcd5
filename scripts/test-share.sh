#!/usr/bin/env bash
# Measures how much of the code is tests: lines of test code against lines of all code, counted
# over the files git tracks (so build folders and caches never count).
#
#   scripts/test-share.sh              prints e.g. "tests 5200 lines of 15100 (34.4%)"
#   scripts/test-share.sh --max 35     the same, and exits 1 when the share is above 35%
#   scripts/test-share.sh --files      also lists every counted file with its lines and kind
#
# Test code: every *_test.cpp, the code under tests/ (harness, contract, browser), everything
# under fuzz/ but its corpora and regression inputs, and test-only helpers (*test_support*, and the
# differential checks *_check.{h,cpp} that only tests and fuzz targets call).
# Production code: the code under src/, tools/, bench/, scripts/ and web/, and the CMake files.
# Lines are physical lines, blank and comment lines included. Documentation (*.md), images and
# other binary files are not code and never count.
set -euo pipefail
cd "$(dirname "$0")/.."

usage() {
  echo "usage: scripts/test-share.sh [--max PERCENT] [--files]" >&2
  exit 2
}

max=""
list=0
while [ $# -gt 0 ]; do
  case "$1" in
    --max)
      [ $# -ge 2 ] || usage
      max="$2"
      shift 2
      ;;
    --max=*)
      max="${1#--max=}"
      shift
      ;;
    --files) list=1; shift ;;
    -h | --help) usage ;;
    *) echo "test-share: unknown argument: $1" >&2; usage ;;
  esac
done
if [ -n "$max" ] && ! [[ "$max" =~ ^[0-9]+([.][0-9]+)?$ ]]; then
  echo "test-share: --max takes a percentage such as 35 or 33.3, not: $max" >&2
  exit 2
fi

# is_code PATH: a source, script, page or build file (by its name; for a file without an
# extension, by a "#!" first line).
is_code() {
  case "$1" in
    */CMakeLists.txt | CMakeLists.txt | *.cmake) return 0 ;;
    *.cpp | *.cc | *.c | *.h | *.hpp | *.mjs | *.js | *.sh | *.py | *.html | *.css) return 0 ;;
    *.md | *.txt | *.png | *.jpg | *.svg | *.json) return 1 ;;
  esac
  [ "$(head -c 2 "$1" 2>/dev/null)" = "#!" ]
}

# kind PATH: prints "test", "prod" or nothing (not counted).
kind() {
  local path="$1"
  case "$path" in
    fuzz/corpus/* | fuzz/regressions/*) return ;;
    # Fuzz targets, dictionaries and options: any text file.
    fuzz/*) grep -Iq . "$path" 2>/dev/null && echo test; return ;;
  esac
  is_code "$path" || return 0
  case "$path" in
    *_test.cpp | tests/* | *test_support* | *_check.h | *_check.cpp) echo test ;;
    src/* | tools/* | bench/* | scripts/* | web/* | CMakeLists.txt | */CMakeLists.txt | *.cmake)
      echo prod ;;
  esac
}

test_lines=0
all_lines=0
while IFS= read -r -d '' path; do
  [ -f "$path" ] || continue # deleted in the working tree but still in the index
  what="$(kind "$path")"
  [ -n "$what" ] || continue
  lines=$(wc -l <"$path")
  lines=$((lines + 0))
  all_lines=$((all_lines + lines))
  [ "$what" = test ] && test_lines=$((test_lines + lines))
  [ "$list" = 1 ] && printf '%7d  %-4s  %s\n' "$lines" "$what" "$path"
done < <(git ls-files -z)

if [ "$all_lines" -eq 0 ]; then
  echo "test-share: no code found (is this a git checkout?)" >&2
  exit 2
fi

share=$(awk -v t="$test_lines" -v a="$all_lines" 'BEGIN { printf "%.1f", 100 * t / a }')
echo "tests $test_lines lines of $all_lines ($share%)"

if [ -n "$max" ] && awk -v s="$share" -v m="$max" 'BEGIN { exit !(s > m) }'; then
  echo "test-share: tests are $share% of the code, above the ceiling of $max%" >&2
  exit 1
fi
