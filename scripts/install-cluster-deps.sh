#!/bin/sh
# Installs the Debian 12 packages of the test cluster (scripts/slurm-local.sh): Slurm's
# controller, node daemon and commands, and MUNGE. Only `make test-cluster` needs them; the
# server itself runs the Slurm commands of whatever cluster it is pointed at. Idempotent: when
# everything is present it only checks and returns.
#
# Where an init system runs, Debian starts the system-wide munged on installation; the test
# cluster runs its own from its own folder and leaves that one alone.
set -eu

PACKAGES="slurm-wlm munge"

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
  echo "install-cluster-deps: need root or sudo to install:$missing" >&2
  exit 1
fi

export DEBIAN_FRONTEND=noninteractive
$as_root apt-get update -q
# shellcheck disable=SC2086
$as_root apt-get install -y -q --no-install-recommends $missing
