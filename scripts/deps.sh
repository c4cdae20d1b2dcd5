#!/usr/bin/env bash
# Makes sure the build dependencies are there, for scripts/run.sh and scripts/test.sh:
#   scripts/deps.sh          what building the bridge needs
#   scripts/deps.sh --tests  that, and what building the tests needs
# On Debian or Ubuntu the missing packages are installed when run as root; otherwise, and on
# macOS, it names the command that installs them and exits 1. Messages go to standard error.
set -uo pipefail

# Package lists, per system: what the bridge needs, and what the tests need on top of it.
DEBIAN_BUILD=(cmake ninja-build g++ nlohmann-json3-dev)
DEBIAN_TESTS=(libgtest-dev clang libclang-rt-14-dev clang-format-14)
BREW_BUILD=(cmake ninja nlohmann-json)
BREW_TESTS=(googletest)

tests=0
case "${1:-}" in
  --tests) tests=1 ;;
  "") ;;
  *) echo "usage: $0 [--tests]" >&2; exit 2 ;;
esac

if [ "$(uname -s)" = Darwin ]; then
  wanted=("${BREW_BUILD[@]}")
  ((tests)) && wanted+=("${BREW_TESTS[@]}")
  missing=()
  if command -v brew >/dev/null 2>&1; then
    for formula in "${wanted[@]}"; do
      brew list --versions "$formula" >/dev/null 2>&1 || missing+=("$formula")
    done
  else
    missing=("${wanted[@]}")
  fi
  if ((${#missing[@]})); then
    echo "missing build dependencies: ${missing[*]} (install Homebrew, then: brew install ${missing[*]})" >&2
    exit 1
  fi
  if ! command -v c++ >/dev/null 2>&1; then
    echo "no C++ compiler (install Apple's command line tools: xcode-select --install)" >&2
    exit 1
  fi
  exit 0
fi

# Elsewhere only Debian's package manager is known; other systems go on and let CMake say
# what it cannot find.
command -v dpkg >/dev/null 2>&1 || exit 0
wanted=("${DEBIAN_BUILD[@]}")
((tests)) && wanted+=("${DEBIAN_TESTS[@]}")
missing=()
for pkg in "${wanted[@]}"; do
  dpkg -s "$pkg" >/dev/null 2>&1 || missing+=("$pkg")
done
((${#missing[@]})) || exit 0

if [ "$(id -u)" = 0 ] && command -v apt-get >/dev/null 2>&1; then
  echo "installing build dependencies: ${missing[*]}" >&2
  export DEBIAN_FRONTEND=noninteractive
  { apt-get update -qq && apt-get install -y -qq "${missing[@]}"; } >/dev/null ||
    { echo "could not install: ${missing[*]}" >&2; exit 1; }
else
  echo "missing build dependencies: ${missing[*]} (run as root, or: sudo apt-get install ${missing[*]})" >&2
  exit 1
fi
