#!/usr/bin/env bash
# Builds the bridge and runs every test twice: a normal build in build/ and one under
# AddressSanitizer and UndefinedBehaviorSanitizer in build-asan/. Exits non-zero when any build
# or test fails; the last thing printed is ctest's summary.
set -uo pipefail
cd "$(dirname "$0")/.."

jobs="$(nproc 2>/dev/null || sysctl -n hw.ncpu 2>/dev/null || echo 2)"

# Build dependencies, installed when missing on Debian or Ubuntu as root.
if command -v dpkg >/dev/null 2>&1; then
  missing=()
  for pkg in cmake ninja-build g++ libgtest-dev nlohmann-json3-dev; do
    dpkg -s "$pkg" >/dev/null 2>&1 || missing+=("$pkg")
  done
  if ((${#missing[@]})); then
    if [ "$(id -u)" = 0 ] && command -v apt-get >/dev/null 2>&1; then
      echo "installing build dependencies: ${missing[*]}"
      export DEBIAN_FRONTEND=noninteractive
      { apt-get update -qq && apt-get install -y -qq "${missing[@]}"; } >/dev/null ||
        { echo "could not install: ${missing[*]}" >&2; exit 1; }
    else
      echo "missing build dependencies: ${missing[*]} (run as root, or: sudo apt-get install ${missing[*]})" >&2
      exit 1
    fi
  fi
fi

failed=0

# build_and_test DIR [cmake options...]: configures, builds and runs ctest in DIR.
build_and_test() {
  local dir="$1"
  shift
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
  (cd "$dir" && ctest --output-on-failure -j"$jobs" --timeout 300) || failed=1
}

mkdir -p build build-asan
build_and_test build -DWARNINGS_AS_ERRORS=ON
ASAN_OPTIONS="${ASAN_OPTIONS:-abort_on_error=0:detect_stack_use_after_return=1}" \
UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1}" \
  build_and_test build-asan -DSANITIZE=address,undefined -DWARNINGS_AS_ERRORS=ON

exit "$failed"
