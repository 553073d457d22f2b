#!/bin/sh
# Runs clang-tidy with the repository's .clang-tidy over every C++ source under server/ (the
# compiled third-party code in server/asio excepted), $2 files at a time, with the compile
# commands of the configured build directory $1. Fails when any file has a finding.
set -eu
build="$1"
jobs="$2"
root=$(cd "$(dirname "$0")/.." && pwd)
tidy=$(command -v clang-tidy-14 || command -v clang-tidy)

cd "$root"
git ls-files 'server/*.cpp' | grep -v '^server/asio/' |
  xargs -P "$jobs" -n 1 sh -c '
    # clang-tidy counts the warnings it suppressed in headers on stderr; only findings matter.
    out=$("$0" -p "$1" --quiet "$2" 2>&1) && status=0 || status=$?
    printf "%s\n" "$out" | grep -v "warnings\{0,1\} generated\.$" || :
    exit "$status"' "$tidy" "$build" || {
  echo "lint: clang-tidy found problems (see above)" >&2
  exit 1
}
echo "lint: no findings"
