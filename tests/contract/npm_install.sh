# Sourced by the scripts that install a pinned npm package into a cache folder outside the source
# tree (the contract tests' claude CLI, the browser tests' playwright-core).
# npm_install PREFIX PACKAGE installs PACKAGE (name@version) into PREFIX. Where the registry cannot
# be reached (no npm, or npm fails with a network error) it prints one line "skipped: <reason>"
# and exits 0, so that the tests skip themselves; any other failure exits 1.
npm_install() {
  local prefix="$1" package="$2" log="$1/npm-install.log"
  command -v npm >/dev/null 2>&1 || { echo "skipped: npm is not installed"; exit 0; }
  mkdir -p "$prefix" || exit 1
  # A package.json of our own keeps npm from looking for one up the tree.
  [ -f "$prefix/package.json" ] || echo '{"private":true}' >"$prefix/package.json"
  # Few and short retries, so that a machine without the registry skips within seconds.
  npm install --prefix "$prefix" --no-save --no-audit --no-fund --loglevel=error \
    --fetch-retries=1 --fetch-retry-mintimeout=2000 --fetch-retry-maxtimeout=10000 \
    "$package" >"$log" 2>&1 && return 0
  # npm reports an unreachable registry with these codes; anything else is a real failure.
  if grep -Eq 'ENOTFOUND|EAI_AGAIN|ECONNREFUSED|ECONNRESET|ETIMEDOUT|ENETUNREACH|EHOSTUNREACH|ERR_SOCKET_TIMEOUT|network' "$log"; then
    echo "skipped: the npm registry cannot be reached ($(grep -Em1 'code E|network' "$log" | tr -s ' '))"
    exit 0
  fi
  cat "$log" >&2
  echo "npm install of $package failed (log: $log)" >&2
  exit 1
}

# lock_cache FILE: two builds testing at once share the cache; one installs while the other waits.
lock_cache() { ! command -v flock >/dev/null 2>&1 || { exec 9>"$1" && flock 9; }; }
