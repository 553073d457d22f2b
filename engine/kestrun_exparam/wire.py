"""Length-prefixed frames: a signed 32-bit little-endian byte count, then the bytes."""

import socket
import struct

_LENGTH = struct.Struct("<i")
MAX_FRAME = 2**31 - 1

# Bounded reads keep one bogus length prefix from asking the kernel for gigabytes at once.
_CHUNK = 1 << 20


class FrameError(Exception):
    """The peer broke the framing: closed mid-frame or sent a negative length."""


def _recv_exact(sock: socket.socket, n: int) -> bytes:
    """Read up to n bytes; fewer only if the peer closed first."""
    chunks = []
    while n > 0:
        chunk = sock.recv(min(n, _CHUNK))
        if not chunk:
            break
        chunks.append(chunk)
        n -= len(chunk)
    return b"".join(chunks)


def read_frame(sock: socket.socket) -> bytes:
    """Return the body of the next frame; FrameError if it is malformed or cut short."""
    header = _recv_exact(sock, _LENGTH.size)
    if len(header) < _LENGTH.size:
        raise FrameError(f"connection closed after {len(header)} of {_LENGTH.size} length bytes")
    (length,) = _LENGTH.unpack(header)
    if length < 0:
        raise FrameError(f"negative frame length {length}")
    body = _recv_exact(sock, length)
    if len(body) < length:
        # A partial program could yield a partial parameter list; refuse it rather than guess.
        raise FrameError(f"connection closed after {len(body)} of {length} body bytes")
    return body


def write_frame(sock: socket.socket, body: bytes) -> None:
    """Send body as one frame; FrameError if its length does not fit the prefix."""
    if len(body) > MAX_FRAME:
        raise FrameError(f"frame of {len(body)} bytes exceeds {MAX_FRAME}")
    sock.sendall(_LENGTH.pack(len(body)) + body)
