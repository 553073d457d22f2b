#!/bin/sh
# Installs the Debian 12 packages stratdesk builds and runs with, then the npm packages of
# third_party/ (the docs page's viewer and the API document's validator) into
# third_party/node_modules. Idempotent: when everything is present it only checks and returns.
set -eu

root=$(cd "$(dirname "$0")/.." && pwd)

PACKAGES="g++ make cmake ninja-build pkg-config
libboost1.81-dev libboost-json1.81-dev libboost-url1.81-dev
libsqlite3-dev sqlite3 libspdlog-dev libhowardhinnant-date-dev
libgtest-dev googletest tzdata curl python3 clang-format clang-tidy clang libclang-rt-14-dev
python3-jsonschema chromium"
# Node.js may come from elsewhere with its own npm; Debian's packages only when npm is absent.
if ! command -v npm >/dev/null 2>&1; then
  PACKAGES="$PACKAGES nodejs npm"
fi

# npm ci installs exactly the versions of third_party/package-lock.json, without running
# install scripts (nothing is fetched or reported at run time).
install_npm_packages() {
  stamp="$root/third_party/node_modules/.package-lock.json"
  if [ -f "$stamp" ] && [ ! "$root/third_party/package-lock.json" -nt "$stamp" ]; then
    return 0
  fi
  echo "installing the npm packages of third_party/"
  (cd "$root/third_party" && npm ci --ignore-scripts --no-audit --no-fund)
}

# shellcheck source=scripts/debian-packages.sh
. "$root/scripts/debian-packages.sh"

# shellcheck disable=SC2086
install_debian_packages install-deps $PACKAGES
install_npm_packages
