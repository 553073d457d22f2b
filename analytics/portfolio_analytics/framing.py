"""One frame each way: a 4-byte little-endian signed body length, then a UTF-8 JSON body."""

import json
import math
import socket
import struct
import time

HEADER = struct.Struct("<i")
MAX_BODY = 256 * 1024 * 1024


class FrameError(Exception):
    """The peer did not deliver a well-formed frame; the text is fit to send back."""


def _recv_exact(sock, n, deadline):
    buf = bytearray(n)
    view = memoryview(buf)
    got = 0
    while got < n:
        left = deadline - time.monotonic()
        if left <= 0:
            raise FrameError(f"timed out after receiving {got} of {n} bytes")
        sock.settimeout(left)
        try:
            count = sock.recv_into(view[got:], min(n - got, 1 << 20))
        except socket.timeout:
            raise FrameError(f"timed out after receiving {got} of {n} bytes") from None
        if count == 0:
            raise FrameError(f"connection closed after {got} of {n} bytes")
        got += count
    return bytes(buf)


def read_frame(sock, deadline, max_body=MAX_BODY):
    """Body bytes of one frame. Raises FrameError, OSError on a broken connection."""
    try:
        header = _recv_exact(sock, HEADER.size, deadline)
    except FrameError as exc:
        raise FrameError(f"incomplete frame header: {exc}") from None
    (length,) = HEADER.unpack(header)
    if length <= 0:
        raise FrameError(f"invalid frame length {length}")
    if length > max_body:
        raise FrameError(f"frame length {length} exceeds the limit of {max_body} bytes")
    try:
        return _recv_exact(sock, length, deadline)
    except FrameError as exc:
        raise FrameError(f"incomplete frame body: {exc}") from None


def _reject_constant(name):
    raise ValueError(f"{name} is not valid JSON")


def decode_body(body):
    """Parse a request body; raises ValueError with a message fit to send back."""
    try:
        text = body.decode("utf-8")
    except UnicodeDecodeError as exc:
        raise ValueError(f"request body is not UTF-8: {exc}") from None
    try:
        # NaN/Infinity are not JSON; accepting them would let non-finite numbers into the maths.
        return json.loads(text, parse_constant=_reject_constant)
    except ValueError as exc:
        raise ValueError(f"request body is not valid JSON: {exc}") from None


def finite(value):
    """Copy of a JSON-able value with every non-finite float replaced by None."""
    if isinstance(value, float):
        return value if math.isfinite(value) else None
    if isinstance(value, dict):
        return {str(k): finite(v) for k, v in value.items()}
    if isinstance(value, (list, tuple)):
        return [finite(v) for v in value]
    return value


def encode_frame(obj):
    body = json.dumps(finite(obj), allow_nan=False).encode("utf-8")
    return HEADER.pack(len(body)) + body
