"""Entry point: ``python3 -m kestrun_exparam PORT``.

Exit status: 0 after answering; 1 when the exchange failed after connecting; 2 when the port
argument is bad or the connection cannot be made.
"""

import json
import re
import socket
import sys
import traceback

from .extract import extract_parameters
from .wire import FrameError, read_frame, write_frame

# The server sends as soon as it accepts; the limit only keeps an abandoned extraction
# from lingering forever, since nobody waits for or stops this process.
TIMEOUT_SECONDS = 60.0


def _error(message: str) -> None:
    print(f"kestrun_exparam: {message}", file=sys.stderr)


def _parse_port(text: str) -> int | None:
    if re.fullmatch(r"[0-9]{1,5}", text) is None:
        return None
    port = int(text)
    return port if 1 <= port <= 65535 else None


def _answer(sock: socket.socket, parameters: list) -> bool:
    body = json.dumps(parameters, ensure_ascii=False, allow_nan=False).encode("utf-8")
    try:
        write_frame(sock, body)
    except (OSError, FrameError) as exc:
        _error(f"cannot send the answer: {exc}")
        return False
    return True


def main(argv: list[str]) -> int:
    if len(argv) != 1:
        _error("usage: python3 -m kestrun_exparam PORT")
        return 2
    port = _parse_port(argv[0])
    if port is None:
        _error(f"bad port {argv[0]!r}: expected a number from 1 to 65535")
        return 2
    try:
        sock = socket.create_connection(("127.0.0.1", port), timeout=TIMEOUT_SECONDS)
    except OSError as exc:
        _error(f"cannot connect to 127.0.0.1:{port}: {exc}")
        return 2

    with sock:
        try:
            request = read_frame(sock)
        except FrameError as exc:
            _error(f"bad request: {exc}")
            # The peer may still be listening; an empty list beats a dropped connection.
            _answer(sock, [])
            return 1
        except OSError as exc:
            _error(f"cannot read the request: {exc}")
            return 1

        status = 0
        try:
            source = request.decode("utf-8")
        except UnicodeDecodeError as exc:
            _error(f"source is not UTF-8, no parameters: {exc}")
            parameters = []
        else:
            try:
                parameters = extract_parameters(source)
            except Exception:
                # Answer anyway: a dropped connection would make saving the strategy fail.
                traceback.print_exc()
                parameters, status = [], 1
        if not _answer(sock, parameters):
            return 1
    return status


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
