#!/bin/sh
# Starts the server from build directory $1 with its defaults (and any further options).
set -eu
build="$1"
shift
exec "$build/stratdesk-server" "$@"
