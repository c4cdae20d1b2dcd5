#!/usr/bin/env bash
# Installs the claude CLI that the contract tests run (the npm package, whose native binary comes
# in the platform package npm picks for this machine) into a cache folder outside the source
# tree, reusing an earlier install, and writes the binary's path to the file named by $1.
#
# Where the registry cannot be reached it skips as npm_install does, writing no path.
set -uo pipefail
source "$(dirname "$0")/npm_install.sh"

VERSION=2.1.332
PACKAGE=@anthropic-ai/claude-code

path_file="${1:?usage: $0 PATH_FILE}"
rm -f "$path_file"
cache_root="${QUILLHAVEN_CONTRACT_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/quillhaven-contract}"
prefix="$cache_root/$VERSION"
mkdir -p "$(dirname "$path_file")" "$prefix" || exit 1
lock_cache "$cache_root/.install-$VERSION.lock"

# The native binary, in the platform package (on Linux with musl its name carries a suffix).
find_binary() { ls "$prefix/node_modules/$PACKAGE"-*/claude 2>/dev/null | head -n 1; }

find_binary >/dev/null || npm_install "$prefix" "$PACKAGE@$VERSION"
binary="$(find_binary)" || { echo "no native claude binary in $prefix/node_modules" >&2; exit 1; }
version="$("$binary" --version 2>&1)"
[[ "$version" == "$VERSION"* ]] || { echo "$binary --version gave '$version', not $VERSION" >&2; exit 1; }
printf '%s\n' "$binary" >"$path_file" || exit 1
echo "claude CLI $VERSION: $binary"
