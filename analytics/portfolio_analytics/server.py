"""TCP front of the service: one request frame and one answer frame per connection."""

import argparse
import os
import signal
import socket
import socketserver
import sys
import threading
import time

from . import framing, operations
from .bundle import Bundle

DEFAULT_PORT = 10301
DEFAULT_READ_TIMEOUT = 30.0
# After the answer, unread input is drained briefly: closing a socket with unread bytes makes
# the kernel send a reset, which can destroy the answer before the client has read it.
_DRAIN_SECONDS = 2.0
_DRAIN_BYTES = 64 * 1024 * 1024


class _Handler(socketserver.BaseRequestHandler):
    def handle(self):
        conn = self.request
        settings = self.server.settings
        deadline = time.monotonic() + settings.read_timeout
        try:
            body = framing.read_frame(conn, deadline, settings.max_body)
        except framing.FrameError as exc:
            result = {"error": str(exc)}
        except OSError as exc:
            result = {"error": f"receive failed: {exc}"}
        else:
            result = operations.answer(body, self.server.bundle)
        try:
            frame = framing.encode_frame(result)
        except (TypeError, ValueError) as exc:
            frame = framing.encode_frame({"error": f"internal error: answer not encodable: {exc}"})
        try:
            conn.settimeout(settings.read_timeout)
            conn.sendall(frame)
            conn.shutdown(socket.SHUT_WR)
            _drain(conn)
        except OSError:
            pass  # the client went away; nothing left to tell it


def _drain(conn):
    stop = time.monotonic() + _DRAIN_SECONDS
    seen = 0
    while seen < _DRAIN_BYTES:
        left = stop - time.monotonic()
        if left <= 0:
            return
        conn.settimeout(left)
        try:
            chunk = conn.recv(65536)
        except (socket.timeout, OSError):
            return
        if not chunk:
            return
        seen += len(chunk)


class AnalyticsServer(socketserver.ThreadingTCPServer):
    allow_reuse_address = True
    daemon_threads = True
    request_queue_size = 64

    def __init__(self, address, bundle, settings):
        self.bundle = bundle
        self.settings = settings
        super().__init__(address, _Handler)


def _default_bundle_dir():
    # analytics/portfolio_analytics/server.py -> <repo>/sample-data/bundle
    repo = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
    return os.path.join(repo, "sample-data", "bundle")


def parse_args(argv):
    parser = argparse.ArgumentParser(description="Local portfolio analytics service (framed JSON over TCP).")
    parser.add_argument("--host", default="127.0.0.1")
    parser.add_argument("--port", type=int, default=DEFAULT_PORT, help="0 picks a free port")
    parser.add_argument("--bundle-dir", default=_default_bundle_dir())
    parser.add_argument("--read-timeout", type=float, default=DEFAULT_READ_TIMEOUT,
                        help="seconds a client has to deliver its whole request frame")
    parser.add_argument("--max-frame", type=int, default=framing.MAX_BODY, help="largest accepted request body, bytes")
    args = parser.parse_args(argv)
    if not 0 <= args.port <= 65535:
        parser.error("--port must be in 0..65535")
    if args.read_timeout <= 0:
        parser.error("--read-timeout must be positive")
    if args.max_frame <= 0:
        parser.error("--max-frame must be positive")
    return args


def main(argv=None):
    args = parse_args(sys.argv[1:] if argv is None else argv)
    bundle_dir = os.path.abspath(args.bundle_dir)
    if not os.path.isdir(bundle_dir):
        # Not fatal: the bundle may be generated after start; requests report it until then.
        print(f"warning: bundle directory {bundle_dir} does not exist", file=sys.stderr, flush=True)
    settings = argparse.Namespace(read_timeout=args.read_timeout, max_body=args.max_frame)
    try:
        server = AnalyticsServer((args.host, args.port), Bundle(bundle_dir), settings)
    except OSError as exc:
        print(f"cannot listen on {args.host}:{args.port}: {exc}", file=sys.stderr, flush=True)
        return 1

    stop = threading.Event()

    def request_stop(signum, frame):
        stop.set()

    signal.signal(signal.SIGTERM, request_stop)
    signal.signal(signal.SIGINT, request_stop)

    host, port = server.server_address[:2]
    worker = threading.Thread(target=server.serve_forever, kwargs={"poll_interval": 0.2}, daemon=True)
    worker.start()
    print(f"listening on {host}:{port}", flush=True)
    try:
        while not stop.wait(0.5):
            pass
    finally:
        server.shutdown()
        server.server_close()
    return 0
