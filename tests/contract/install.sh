#!/usr/bin/env bash
# Installs the claude CLI that the contract tests run (the npm package, whose native binary comes
# in a platform package) into a cache folder outside the source tree, reusing an earlier install,
# and writes the binary's path to the file named by $1.
#
# Where the registry cannot be reached (no npm, or npm fails with a network error) it prints one
# line "skipped: <reason>", writes no path and exits 0, so that the tests skip themselves. Any
# other failure exits non-zero.
set -uo pipefail

VERSION=2.1.332
PACKAGE=@anthropic-ai/claude-code

path_file="${1:?usage: $0 PATH_FILE}"
rm -f "$path_file"
mkdir -p "$(dirname "$path_file")" || exit 1

cache_root="${QUILLHAVEN_CONTRACT_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/quillhaven-contract}"
prefix="$cache_root/$VERSION"

case "$(uname -s)" in
  Linux) os=linux ;;
  Darwin) os=darwin ;;
  *) echo "skipped: no claude CLI package for $(uname -s)"; exit 0 ;;
esac
case "$(uname -m)" in
  x86_64 | amd64) arch=x64 ;;
  aarch64 | arm64) arch=arm64 ;;
  *) echo "skipped: no claude CLI package for $(uname -m)"; exit 0 ;;
esac

# The native binary: in the platform package for this machine (on Linux with musl the package
# name carries a suffix), executable, and of the version asked for.
find_binary() {
  local candidate
  for candidate in "$prefix"/node_modules/@anthropic-ai/claude-code-"$os"-"$arch"*/claude; do
    if [ -f "$candidate" ] && [ -x "$candidate" ]; then
      printf '%s\n' "$candidate"
      return 0
    fi
  done
  return 1
}

mkdir -p "$prefix" || exit 1
# Two builds testing at once share the cache: one installs while the other waits.
if command -v flock >/dev/null 2>&1; then
  exec 9>"$cache_root/.install-$VERSION.lock" && flock 9
fi

binary="$(find_binary)"
if [ -z "$binary" ]; then
  if ! command -v npm >/dev/null 2>&1; then
    echo "skipped: npm is not installed"
    exit 0
  fi
  log="$prefix/npm-install.log"
  # --no-save and a package.json of our own keep npm from looking for one up the tree.
  [ -f "$prefix/package.json" ] || echo '{"private":true}' >"$prefix/package.json"
  # Few and short retries, so that a machine without the registry skips within seconds.
  if ! npm install --prefix "$prefix" --no-save --no-audit --no-fund --loglevel=error \
      --fetch-retries=1 --fetch-retry-mintimeout=2000 --fetch-retry-maxtimeout=10000 \
      "$PACKAGE@$VERSION" >"$log" 2>&1; then
    # npm reports an unreachable registry with these codes; anything else is a real failure.
    if grep -Eq 'ENOTFOUND|EAI_AGAIN|ECONNREFUSED|ECONNRESET|ETIMEDOUT|ENETUNREACH|EHOSTUNREACH|ERR_SOCKET_TIMEOUT|network' "$log"; then
      echo "skipped: the npm registry cannot be reached ($(grep -Em1 'code E|network' "$log" | tr -s ' '))"
      exit 0
    fi
    cat "$log" >&2
    echo "npm install of $PACKAGE@$VERSION failed (log: $log)" >&2
    exit 1
  fi
  binary="$(find_binary)"
  if [ -z "$binary" ]; then
    echo "npm installed $PACKAGE@$VERSION but no native claude binary for $os-$arch is in $prefix/node_modules" >&2
    exit 1
  fi
fi

if ! version="$("$binary" --version 2>&1)"; then
  echo "$binary --version failed: $version" >&2
  exit 1
fi
case "$version" in
  "$VERSION"*) ;;
  *) echo "$binary reports version '$version', expected $VERSION" >&2; exit 1 ;;
esac

printf '%s\n' "$binary" >"$path_file" || exit 1
echo "claude CLI $VERSION: $binary"
