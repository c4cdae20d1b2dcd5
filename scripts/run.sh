#!/usr/bin/env bash
# Builds the bridge (Release, without tests) and runs it with the given arguments, for example
#   scripts/run.sh --port 8787 --permission-policy ask
# When no `claude` is on PATH and no --claude is given, the demo agent stands in for it.
# Missing build dependencies are installed first as scripts/deps.sh says. Build output goes to
# standard error, so the bridge's own output stays clean. Once the bridge is up, its log names
# the playground's address ("playground: http://127.0.0.1:8787/").
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="$root/build-release"
jobs="$(nproc 2>/dev/null || sysctl -n hw.ncpu 2>/dev/null || echo 2)"

"$root/scripts/deps.sh" || exit 1
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DBRIDGE_TESTS=OFF >&2
ninja -C "$build" -j"$jobs" quillhaven-bridge >&2

args=("$@")
given_claude=0
for arg in "$@"; do
  case "$arg" in
    --claude | --claude=*) given_claude=1 ;;
  esac
done
if [ "$given_claude" = 0 ] && ! command -v claude >/dev/null 2>&1; then
  ninja -C "$build" -j"$jobs" quillhaven-demo-agent >&2
  echo "run.sh: no claude on PATH; the demo agent plays the NPCs ($build/quillhaven-demo-agent)" >&2
  args+=(--claude "$build/quillhaven-demo-agent")
fi
exec "$build/quillhaven-bridge" "${args[@]}"
