#!/bin/sh
# Starts the server from build directory $1 with its defaults (and any further options).
# When nothing listens on the analytics port yet, the repository's stand-in analytics service is
# started beside the server and stopped when the server stops.
set -eu
build="$1"
shift
root=$(cd "$(dirname "$0")/.." && pwd)

# The analytics port and the interpreter as the server reads them from its options.
analytics_port=10301
python=python3
expect=
for arg in "$@"; do
  case "$expect" in
    port) analytics_port=$arg ;;
    python) python=$arg ;;
  esac
  expect=
  case "$arg" in
    --analytics-port) expect=port ;;
    --analytics-port=*) analytics_port=${arg#*=} ;;
    --python) expect=python ;;
    --python=*) python=${arg#*=} ;;
    --help | -h) exec "$build/stratdesk-server" "$@" ;;
  esac
done

# Succeeds once something accepts connections on 127.0.0.1:$1, trying for $2 seconds.
accepts_on() {
  "$python" -c '
import socket, sys, time
deadline = time.monotonic() + float(sys.argv[2])
while True:
    try:
        socket.create_connection(("127.0.0.1", int(sys.argv[1])), 0.5).close()
        sys.exit(0)
    except OSError:
        if time.monotonic() >= deadline:
            sys.exit(1)
        time.sleep(0.1)
' "$1" "$2" 2>/dev/null
}

case "$analytics_port" in
  '' | *[!0-9]*) exec "$build/stratdesk-server" "$@" ;;  # the server reports the bad option
esac
if accepts_on "$analytics_port" 0; then
  echo "run: an analytics service already listens on 127.0.0.1:$analytics_port; using it"
  exec "$build/stratdesk-server" "$@"
fi

service_pid=
server_pid=

stop_service() {
  if [ -n "$service_pid" ]; then
    kill -TERM "$service_pid" 2>/dev/null || :
    wait "$service_pid" 2>/dev/null || :
    service_pid=
  fi
}

# Ctrl-C reaches the server and the service directly too; a TERM sent to this script alone is
# passed on. Either way the server shuts down gracefully before the service goes.
# shellcheck disable=SC2317  # reached through the trap
stop_all() {
  trap '' INT TERM
  code=0
  if [ -n "$server_pid" ]; then
    kill -TERM "$server_pid" 2>/dev/null || :
    wait "$server_pid" 2>/dev/null || code=$?
    server_pid=
  fi
  stop_service
  exit "$code"
}

trap stop_service EXIT
trap stop_all INT TERM

echo "run: starting the stand-in analytics service on 127.0.0.1:$analytics_port"
"$python" "$root/analytics/analytics-service.py" --port "$analytics_port" &
service_pid=$!
if ! accepts_on "$analytics_port" 10 || ! kill -0 "$service_pid" 2>/dev/null; then
  echo "run: the stand-in analytics service did not start; analytics requests will fail" >&2
  stop_service
fi

"$build/stratdesk-server" "$@" &
server_pid=$!
status=0
wait "$server_pid" || status=$?
server_pid=
exit "$status"
