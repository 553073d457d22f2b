import json
import os
import shutil
import signal
import socket
import struct
import threading
import time
import unittest

from tests.support import DAYS, INDEX, Service, portfolio_rows, read_answer

SYMBOL_MAP = json.dumps({"cmd": "get_id_symbol_map"}).encode()


class FramingTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.service = Service("--read-timeout", "1")

    @classmethod
    def tearDownClass(cls):
        cls.service.stop()

    def raw(self, data, half_close=False):
        with self.service.connect() as sock:
            sock.sendall(data)
            if half_close:
                sock.shutdown(socket.SHUT_WR)
            return read_answer(sock)

    def assertError(self, answer, fragment=""):
        self.assertIsInstance(answer, dict)
        self.assertIn("error", answer)
        self.assertIn(fragment, answer["error"])

    def test_bad_frames_are_answered(self):
        for data, fragment in (
            (struct.pack("<i", 0), "length 0"),
            (struct.pack("<i", -5), "length -5"),
            (struct.pack("<i", 0x7FFFFFFF) + b"{}", "exceeds"),
            (struct.pack("<i", 9) + b"{not json", "not valid JSON"),
            (struct.pack("<i", 2) + b"\xff\xfe", "not UTF-8"),
        ):
            with self.subTest(data=data[:12]):
                self.assertError(self.raw(data), fragment)

    def test_truncated_frames_are_answered(self):
        self.assertError(self.raw(b"\x1c\x00", half_close=True), "header")
        self.assertError(self.raw(struct.pack("<i", 28) + b'{"cmd"', half_close=True), "body")
        # The read time limit answers a client that stalls mid-frame.
        started = time.monotonic()
        self.assertError(self.raw(struct.pack("<i", 28) + b'{"cmd"'), "timed out")
        self.assertLess(time.monotonic() - started, 5)

    def test_bad_requests_are_answered(self):
        nan_body = b'{"cmd": "risk_analysis", "benchmark": "000300.XSHG", "portfolio": [{"datetime": "2015-01-05", "unit_net_value": NaN}]}'
        self.assertError(self.service.exchange(nan_body), "NaN")
        self.assertError(self.service.exchange(b"1e400"), "object")
        rows = portfolio_rows([1.0, 1.1])
        for request, fragment in (
            ([1, 2], "object"),
            ({}, "cmd"),
            ({"cmd": 5}, "cmd"),
            ({"cmd": "nope"}, "unknown cmd"),
            ({"cmd": "pnl_analysis", "benchmark": INDEX}, "portfolio_series"),
            ({"cmd": "pnl_analysis", "benchmark": INDEX, "portfolio_series": []}, "empty"),
            ({"cmd": "pnl_analysis", "portfolio_series": rows, "benchmark_series": None}, "benchmark"),
            ({"cmd": "pnl_analysis", "benchmark": INDEX, "portfolio_series": [{"datetime": "x", "unit_net_value": 1}]},
             "datetime"),
            ({"cmd": "risk_analysis", "benchmark": INDEX, "portfolio": [{"datetime": "2015-01-05", "unit_net_value": "1"}]},
             "unit_net_value"),
            ({"cmd": "risk_analysis", "benchmark": INDEX, "portfolio": [{"datetime": "2015-01-05", "unit_net_value": 0}]},
             "positive"),
            ({"cmd": "risk_analysis", "benchmark": INDEX, "portfolio": [{"datetime": "2015-01-05", "unit_net_value": True}]},
             "unit_net_value"),
            ({"cmd": "risk_analysis", "benchmark": "../instruments", "portfolio": rows}, "no bars"),
            ({"cmd": "risk_analysis", "benchmark": INDEX, "portfolio": rows[:1]}, "at least 2"),
            ({"cmd": "single_exposure_analysis", "portfolio": {"positions": [{"order_book_id": "X"}]},
              "benchmark": None, "date": "2015-01-05"}, "market_value"),
            ({"cmd": "single_exposure_analysis", "portfolio": [], "benchmark": None, "date": "2015-01-05"}, "portfolio"),
        ):
            with self.subTest(request=request):
                self.assertError(self.service.request(request), fragment)

    def test_frame_delivered_in_small_pieces(self):
        data = struct.pack("<i", len(SYMBOL_MAP)) + SYMBOL_MAP
        with self.service.connect() as sock:
            sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
            for i in range(0, len(data), 3):
                sock.sendall(data[i:i + 3])
                time.sleep(0.005)
            answer = read_answer(sock)
        self.assertIn("000001.XSHE", answer)

    def test_concurrent_connections_and_a_stalled_one(self):
        # One client holds a half-sent frame open; the others must still be served meanwhile.
        stalled = self.service.connect()
        stalled.sendall(struct.pack("<i", 100) + b"{")
        request = {"cmd": "risk_analysis", "benchmark": INDEX, "portfolio": portfolio_rows([1.0 + i / 50 for i in range(len(DAYS))])}
        results = [None] * 8

        def worker(i):
            results[i] = self.service.request(request)

        threads = [threading.Thread(target=worker, args=(i,)) for i in range(len(results))]
        for t in threads:
            t.start()
        for t in threads:
            t.join(10)
        self.assertTrue(all(r is not None and "beta" in r for r in results), results)
        self.assertEqual(len({json.dumps(r, sort_keys=True) for r in results}), 1)
        with stalled:
            self.assertError(read_answer(stalled), "timed out")


class LifecycleTest(unittest.TestCase):
    def test_sigterm_and_sigint_exit_cleanly(self):
        for sig in (signal.SIGTERM, signal.SIGINT):
            service = Service()
            with self.subTest(sig=sig):
                self.assertIn("000001.XSHE", service.request({"cmd": "get_id_symbol_map"}))
                service.proc.send_signal(sig)
                self.assertEqual(service.proc.wait(timeout=5), 0)
            service.stop()

    def test_bundle_appearing_after_start_is_picked_up(self):
        service = Service()
        try:
            moved = service.bundle_dir + ".later"
            os.rename(service.bundle_dir, moved)
            self.assertIn("market data unavailable", service.request({"cmd": "get_id_symbol_map"})["error"])
            shutil.move(moved, service.bundle_dir)
            self.assertIn("000001.XSHE", service.request({"cmd": "get_id_symbol_map"}))
        finally:
            self.assertEqual(service.stop(), 0)


if __name__ == "__main__":
    unittest.main()
