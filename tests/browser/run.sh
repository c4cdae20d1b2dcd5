#!/usr/bin/env bash
# Runs the playground's browser tests in headless Chromium (Debian's package) driven by a pinned
# playwright-core, installing what is missing: chromium with apt-get (as root on Debian or
# Ubuntu), playwright-core into a cache folder outside the source tree, reusing an earlier install.
# Where either cannot be had it prints one line "skipped: <reason>" and exits 0; any other
# failure exits non-zero.
set -uo pipefail

PLAYWRIGHT_VERSION=1.65.1
CHROMIUM="${QUILLHAVEN_CHROMIUM:-/usr/bin/chromium}"

[ $# -eq 2 ] || { echo "usage: $0 BRIDGE DEMO_AGENT" >&2; exit 2; }
here="$(cd "$(dirname "$0")" && pwd)"
source "$here/../contract/npm_install.sh"
skip() { echo "skipped: $*"; exit 0; }

command -v node >/dev/null 2>&1 || skip "node is not installed"
node_major="$(node -p 'process.versions.node.split(".")[0]')"
[ "$node_major" -ge 18 ] 2>/dev/null || skip "node $node_major has no built-in test runner (18 or later needed)"

cache="${QUILLHAVEN_BROWSER_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/quillhaven-browser}"
mkdir -p "$cache" || exit 1
lock_cache "$cache/.install.lock"

if [ ! -x "$CHROMIUM" ]; then
  [ "$CHROMIUM" = /usr/bin/chromium ] && [ "$(id -u)" = 0 ] && command -v apt-get >/dev/null 2>&1 ||
    skip "no chromium at $CHROMIUM (Debian: apt-get install chromium)"
  log="$cache/apt-install.log"
  { apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq chromium; } \
    >"$log" 2>&1 || skip "chromium could not be installed with apt-get (log: $log)"
fi

prefix="$cache/playwright-core-$PLAYWRIGHT_VERSION"
module="$prefix/node_modules/playwright-core"
[ -f "$module/package.json" ] || npm_install "$prefix" "playwright-core@$PLAYWRIGHT_VERSION"
exec 9>&-

QUILLHAVEN_BRIDGE="$1" \
QUILLHAVEN_DEMO_AGENT="$2" \
QUILLHAVEN_CHROMIUM="$CHROMIUM" \
QUILLHAVEN_PLAYWRIGHT="$module" \
QUILLHAVEN_SCREENSHOT="${QUILLHAVEN_SCREENSHOT:-$here/../../docs/playground.png}" \
  exec node --test "$here/playground.test.mjs"
