"""The extraction process, driven over a real loopback socket as the server drives it."""

import json
import os
import socket
import struct
import subprocess
import sys
import tempfile
import textwrap
import time
import unittest
from pathlib import Path

ENGINE_DIR = Path(__file__).resolve().parent.parent
TIMEOUT = 10


def frame(data: bytes) -> bytes:
    return struct.pack("<i", len(data)) + data


def talk(parts, *, args=None, cwd=None, half_close=False):
    """Play the server: start the child, send parts, collect everything it sends back.

    Returns (exit status, answer body or None when nothing came, stderr text).
    """
    with socket.create_server(("127.0.0.1", 0)) as listener:
        listener.settimeout(TIMEOUT)
        argv = [str(listener.getsockname()[1])] if args is None else args
        proc = subprocess.Popen(
            [sys.executable, "-m", "kestrun_exparam", *argv], cwd=cwd,
            env=dict(os.environ, PYTHONPATH=str(ENGINE_DIR)),
            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        try:
            received = b""
            if args is None:
                conn, _ = listener.accept()
                with conn:
                    conn.settimeout(TIMEOUT)
                    conn.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
                    for part in parts:
                        conn.sendall(part)
                        if len(parts) > 1:
                            time.sleep(0.005)
                    if half_close:
                        conn.shutdown(socket.SHUT_WR)
                    received = b"".join(iter(lambda: conn.recv(65536), b""))
            _, err = proc.communicate(timeout=TIMEOUT)
        finally:
            if proc.poll() is None:
                proc.kill()
                proc.communicate()
    body = None
    if received:
        (length,) = struct.unpack("<i", received[:4])
        body = received[4:]
        assert len(body) == length, (length, received)
    return proc.returncode, body, err.decode("utf-8", "replace")


class ExparamTestCase(unittest.TestCase):
    def exchange(self, source, cwd=None):
        """Send source in one frame; return (parsed answer, stderr)."""
        status, body, err = talk([frame(source.encode("utf-8"))], cwd=cwd)
        self.assertEqual(status, 0, err)
        return json.loads(body.decode("utf-8")), err


class DeclarationTest(ExparamTestCase):
    def test_forms_types_and_order(self):
        source = textwrap.dedent('''
            import api
            FAST = parameter("fast", 5, minimum=2, maximum=60, description="fast window")
            parameter("flag", True)

            def init(context):
                context.slow = api.parameter(name="slow", default=-20.5)
                context.mode = parameter("mode", "ma", choices=["ma", "ema"])
                if context.slow:
                    context.ids = parameter("ids", ("000001.XSHE", "600000.XSHG"))
                parameter(default={"w": (1, -2)}, name="weights")
                parameter("limit", None, type="int", minimum=0)
                parameter("ratio", 1, type="float", description="")

            class Helper:
                def go(self):
                    return self.api.parameter("count", 0)
            ''')
        answer, _ = self.exchange(source)
        self.assertEqual(answer, [
            {"name": "fast", "type": "int", "default": 5, "minimum": 2, "maximum": 60,
             "description": "fast window"},
            {"name": "flag", "type": "bool", "default": True},
            {"name": "slow", "type": "float", "default": -20.5},
            {"name": "mode", "type": "str", "default": "ma", "choices": ["ma", "ema"]},
            {"name": "ids", "type": "list", "default": ["000001.XSHE", "600000.XSHG"]},
            {"name": "weights", "type": "dict", "default": {"w": [1, -2]}},
            {"name": "limit", "type": "int", "default": None, "minimum": 0},
            {"name": "ratio", "type": "float", "default": 1},
            {"name": "count", "type": "int", "default": 0},
        ])
        self.assertEqual(list(answer[0]), ["name", "type", "default", "minimum", "maximum",
                                           "description"])

    def test_unreadable_and_duplicate_declarations_are_skipped_with_a_message(self):
        source = textwrap.dedent('''
            NAME = "n"
            parameter("keep", 1)
            parameter(NAME, 1)
            parameter("computed", 2 * 3)
            parameter("keep", 2)
            parameter("positional_type", 1, "int")
            parameter("no_default")
            parameter("bad_type", 1, type=int)
            parameter("huge", 1e999)
            parameter("int_keys", {1: "a"})
            parameter("a set", {1, 2})
            parameter("unpacked", 1, **options)
            parameter("last", "x")
            ''')
        answer, err = self.exchange(source)
        self.assertEqual(answer, [{"name": "keep", "type": "int", "default": 1},
                                  {"name": "last", "type": "str", "default": "x"}])
        for line in range(4, 14):
            self.assertIn(f"line {line}:", err)

    def test_non_ascii_source_is_framed_in_utf8_bytes(self):
        source = '# 双均线策略\nW = parameter("窗口", 10, description="均线窗口 — días")\n'
        self.assertGreater(len(source.encode("utf-8")), len(source))
        answer, _ = self.exchange(source)
        self.assertEqual(answer, [{"name": "窗口", "type": "int", "default": 10,
                                   "description": "均线窗口 — días"}])

    def test_unparsable_or_empty_sources_answer_an_empty_list(self):
        for source in ("def init(context):\n    x = parameter('a', 1\n",
                       "\0", "", "def init(context):\n    pass\n"):
            with self.subTest(source=source):
                answer, _ = self.exchange(source)
                self.assertEqual(answer, [])

    def test_strategy_is_never_executed(self):
        with tempfile.TemporaryDirectory() as tmp:
            marker = Path(tmp, "executed")
            source = textwrap.dedent(f'''
                import pathlib
                pathlib.Path({str(marker)!r}).write_text("module")
                import kestrun_exparam_no_such_module
                N = parameter("n", 3, description=open({str(marker)!r}, "w").write("arg"))
                M = parameter("m", __import__("os").system("touch {marker}"))
                P = parameter("p", 1)
                ''')
            answer, _ = self.exchange(source, cwd=tmp)
            self.assertEqual(answer, [{"name": "p", "type": "int", "default": 1}])
            self.assertFalse(marker.exists())


class ProtocolTest(unittest.TestCase):
    def test_frame_delivered_in_small_pieces(self):
        payload = frame('P = parameter("piece", 0.25)\n# ünïcode tail\n'.encode("utf-8"))
        # Splits fall inside the length prefix and inside multi-byte characters.
        parts = [payload[i:i + 3] for i in range(0, len(payload), 3)]
        status, body, err = talk(parts)
        self.assertEqual(status, 0, err)
        self.assertEqual(json.loads(body), [{"name": "piece", "type": "float", "default": 0.25}])

    def test_broken_requests_get_an_empty_answer_and_a_failure_status(self):
        cases = [
            (b"\x05\x00", "closed after 2 of 4 length bytes"),
            (struct.pack("<i", 100) + b'parameter("a", 1)', "closed after 17 of 100 body bytes"),
            (struct.pack("<i", -1), "negative frame length"),
        ]
        for data, message in cases:
            with self.subTest(message):
                status, body, err = talk([data], half_close=True)
                self.assertEqual(status, 1)
                self.assertEqual(body, b"[]")
                self.assertIn(message, err)

    def test_bad_arguments_and_refused_connection_exit_2(self):
        with socket.socket() as refusing:
            refusing.bind(("127.0.0.1", 0))  # bound but not listening: connections are refused
            refused_port = str(refusing.getsockname()[1])
            for args in (["abc"], ["0"], ["70000"], [], ["1", "2"], [refused_port]):
                with self.subTest(args=args):
                    status, body, err = talk([], args=args)
                    self.assertEqual(status, 2)
                    self.assertIn("kestrun_exparam:", err)


if __name__ == "__main__":
    unittest.main()
