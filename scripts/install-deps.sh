#!/bin/sh
# Installs the Debian 12 packages stratdesk builds and runs with. Idempotent: when every
# package is present it only checks and returns.
set -eu

PACKAGES="g++ make cmake ninja-build pkg-config
libboost1.81-dev libboost-json1.81-dev libboost-url1.81-dev
libsqlite3-dev sqlite3 libspdlog-dev libhowardhinnant-date-dev
libgtest-dev googletest tzdata curl python3 clang-format clang-tidy clang libclang-rt-14-dev"

missing=""
for package in $PACKAGES; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
    missing="$missing $package"
  fi
done

if [ -z "$missing" ]; then
  exit 0
fi

echo "installing:$missing"
if [ "$(id -u)" -eq 0 ]; then
  as_root=""
elif command -v sudo >/dev/null 2>&1; then
  as_root="sudo"
else
  echo "install-deps: need root or sudo to install:$missing" >&2
  exit 1
fi

export DEBIAN_FRONTEND=noninteractive
$as_root apt-get update -q
# shellcheck disable=SC2086
$as_root apt-get install -y -q --no-install-recommends $missing
