#!/usr/bin/env bash
# Checks the C++ layout (scripts/format.sh), then builds the bridge and runs every test:
# a normal build in build/ (every label); a Clang build under AddressSanitizer and
# UndefinedBehaviorSanitizer in build-asan/, where Clang's thread-safety analysis is an error
# and the libFuzzer targets run briefly from their seeds and regression inputs (label "fuzz");
# and a ThreadSanitizer build in build-tsan/ (unit and end-to-end tests). Exits non-zero when
# the check, any build or any test fails; the last thing printed is ctest's summary.
set -uo pipefail
cd "$(dirname "$0")/.."

jobs="$(nproc 2>/dev/null || sysctl -n hw.ncpu 2>/dev/null || echo 2)"

# Build dependencies, installed when missing on Debian or Ubuntu as root.
scripts/deps.sh --tests || exit 1

failed=0
scripts/format.sh --check || failed=1

# build_and_test DIR LABELS [cmake options...]: configures, builds and runs ctest in DIR on the
# tests whose label matches LABELS (a regular expression; "" for all).
build_and_test() {
  local dir="$1" labels="$2"
  shift 2
  echo "== $dir: configure and build"
  if ! cmake -S . -B "$dir" -G Ninja "$@" >"$dir/configure.log" 2>&1; then
    cat "$dir/configure.log" >&2
    echo "== $dir: configure failed" >&2
    failed=1
    return
  fi
  if ! ninja -C "$dir" -j"$jobs" >"$dir/build.log" 2>&1; then
    tail -n 100 "$dir/build.log" >&2
    echo "== $dir: build failed (whole log: $dir/build.log)" >&2
    failed=1
    return
  fi
  echo "== $dir: tests"
  local select=()
  [ -n "$labels" ] && select=(-L "$labels")
  (cd "$dir" && ctest --output-on-failure -j"$jobs" --timeout 300 "${select[@]}") || failed=1
}

mkdir -p build build-asan build-tsan
build_and_test build "" -DWARNINGS_AS_ERRORS=ON
ASAN_OPTIONS="${ASAN_OPTIONS:-abort_on_error=0:detect_stack_use_after_return=1}" \
UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1}" \
  build_and_test build-asan "unit|e2e|fuzz" -DFUZZ=ON -DBRIDGE_BENCH=OFF \
    -DWARNINGS_AS_ERRORS=ON -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_C_COMPILER=clang
TSAN_OPTIONS="${TSAN_OPTIONS:-halt_on_error=1:second_deadlock_stack=1}" \
  build_and_test build-tsan "unit|e2e" -DSANITIZE=thread -DBRIDGE_BENCH=OFF -DWARNINGS_AS_ERRORS=ON

exit "$failed"
