#!/bin/sh
# Installs the Debian 12 packages of the test cluster (scripts/slurm-local.sh): Slurm's
# controller, node daemon and commands, and MUNGE. Only `make test-cluster` needs them; the
# server itself runs the Slurm commands of whatever cluster it is pointed at. Idempotent: when
# everything is present it only checks and returns.
#
# Where an init system runs, Debian starts the system-wide munged on installation; the test
# cluster runs its own from its own folder and leaves that one alone.
set -eu

# shellcheck source=scripts/debian-packages.sh
. "$(dirname "$0")/debian-packages.sh"

install_debian_packages install-cluster-deps slurm-wlm munge
