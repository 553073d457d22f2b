"""Fixture bundle and a real service process for the tests."""

import datetime as dt
import json
import os
import random
import socket
import struct
import subprocess
import sys
import tempfile

SCRIPT = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "analytics-service.py")

A, B, C, D, E, F = "000001.XSHE", "000002.XSHE", "600001.XSHG", "600002.XSHG", "600003.XSHG", "600004.XSHG"
STOCKS = (A, B, C, D, E, F)
INDEX = "000300.XSHG"
OTHER_INDEX = "000905.XSHG"
FUTURE = "IF88"


def trading_days(count, start=dt.date(2015, 1, 5)):
    days, day = [], start
    while len(days) < count:
        if day.weekday() < 5:
            days.append(day)
        day += dt.timedelta(days=1)
    return days


DAYS = trading_days(16)

# Leading closes are written out so the P&L and Brinson cases can be checked by hand; the rest
# is a seeded walk that gives the regressions something to fit.
FIXED_CLOSES = {
    A: [6.0, 6.6, 6.27, 6.27],
    B: [10.0, 9.5, 9.5, 9.5],
    C: [10.0, 9.0, 9.9, 9.9],
    D: [20.0, 23.0, 23.0, 23.0],
    E: [10.0, 10.0, 10.0, 11.0],
    INDEX: [3000.0, 3030.0, 2999.7, 3059.694],
}

INSTRUMENTS = [
    # order_book_id, symbol, type, sector, listed_date, is_st
    (A, "Alpha Bank", "CS", "Bank", "2000-01-04", 0),
    (B, "Beta Bank", "CS", "Bank", "2001-03-01", 1),
    (C, "Gamma Tech", "CS", "Tech", "2014-06-01", 0),
    (D, "Delta Tech", "CS", "Tech", "2003-05-06", 0),
    (E, "Epsilon Energy", "CS", "Energy", "2005-01-04", 0),
    (F, "Zeta Energy", "CS", "Energy", "2006-07-03", 0),
    (INDEX, "Large Cap 300", "INDX", "", "2005-04-08", 0),
    (OTHER_INDEX, "Mid Cap 500", "INDX", "", "2007-01-15", 0),
    (FUTURE, "Index Future", "Future", "", "2010-04-16", 0),
]

BENCHMARK_WEIGHTS = {A: 0.3, B: 0.2, C: 0.25, D: 0.25}

FACTOR_NAMES = ("size", "value", "momentum", "volatility", "liquidity", "growth")
# momentum ranks the stocks into the same top and bottom thirds as size, so its basket
# duplicates the size basket.
FACTORS = {
    A: (1.5, -1.0, 0.9, 0.1, 0.2, 0.3),
    B: (0.5, 1.2, 0.1, -0.2, 0.4, -0.1),
    C: (-0.5, 0.3, -0.7, 0.6, -0.3, 1.1),
    D: (1.0, -0.2, 0.8, -0.4, 0.0, 0.5),
    E: (-1.0, 0.8, -0.9, 0.3, 0.7, -0.6),
    F: (0.0, -0.5, 0.0, -0.1, -0.5, 0.2),
}


def closes():
    rng = random.Random(20150105)
    out = {}
    for oid in STOCKS + (INDEX, OTHER_INDEX, FUTURE):
        fixed = FIXED_CLOSES.get(oid, [])
        series = list(fixed) or [rng.uniform(5.0, 50.0)]
        while len(series) < len(DAYS):
            series.append(round(series[-1] * (1.0 + rng.uniform(-0.03, 0.03)), 4))
        out[oid] = series
    return out


CLOSES = closes()


def close_on(oid, day):
    return CLOSES[oid][DAYS.index(day)]


def write_bundle(root):
    os.makedirs(os.path.join(root, "bars"), exist_ok=True)
    with open(os.path.join(root, "instruments.csv"), "w") as f:
        f.write("order_book_id,symbol,type,sector,listed_date,is_st\n")
        for row in INSTRUMENTS:
            f.write(",".join(map(str, row)) + "\n")
    for oid, series in CLOSES.items():
        with open(os.path.join(root, "bars", oid + ".csv"), "w") as f:
            f.write("date,open,high,low,close,volume\n")
            for day, close in zip(DAYS, series):
                f.write(f"{day},{close},{close},{close},{close},1000\n")
    with open(os.path.join(root, "benchmark_weights.csv"), "w") as f:
        f.write("benchmark,order_book_id,weight\n")
        for oid, w in BENCHMARK_WEIGHTS.items():
            f.write(f"{INDEX},{oid},{w}\n")
    with open(os.path.join(root, "factors.csv"), "w") as f:
        f.write("order_book_id," + ",".join(FACTOR_NAMES) + "\n")
        for oid, values in FACTORS.items():
            f.write(oid + "," + ",".join(map(str, values)) + "\n")
    with open(os.path.join(root, "futures.csv"), "w") as f:
        f.write("order_book_id,multiplier,margin_rate\nIF88,300,0.12\n")


class Service:
    """The real service on a free port, over a fixture bundle in its own temp directory."""

    def __init__(self, *extra_args):
        self._tmp = tempfile.TemporaryDirectory()
        self.bundle_dir = os.path.join(self._tmp.name, "bundle")
        write_bundle(self.bundle_dir)
        self.proc = subprocess.Popen(
            [sys.executable, SCRIPT, "--port", "0", "--bundle-dir", self.bundle_dir, *extra_args],
            stdout=subprocess.PIPE,
            stderr=subprocess.PIPE,
            text=True,
        )
        line = self.proc.stdout.readline().strip()
        prefix = "listening on 127.0.0.1:"
        if not line.startswith(prefix):
            self.proc.kill()
            raise RuntimeError(f"service did not start: {line!r} {self.proc.stderr.read()}")
        self.port = int(line[len(prefix):])

    def connect(self):
        return socket.create_connection(("127.0.0.1", self.port), timeout=10)

    def request(self, obj):
        return self.exchange(json.dumps(obj).encode("utf-8"))

    def exchange(self, body):
        with self.connect() as sock:
            sock.sendall(struct.pack("<i", len(body)) + body)
            return read_answer(sock)

    def stop(self):
        """Sends SIGTERM and returns the exit status."""
        self.proc.terminate()
        try:
            code = self.proc.wait(timeout=10)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            code = self.proc.wait()
        self.proc.stdout.close()
        self.proc.stderr.close()
        self._tmp.cleanup()
        return code


def recv_exact(sock, n):
    data = b""
    while len(data) < n:
        chunk = sock.recv(n - len(data))
        if not chunk:
            raise ConnectionError(f"closed after {len(data)} of {n} bytes")
        data += chunk
    return data


def read_answer(sock):
    (length,) = struct.unpack("<i", recv_exact(sock, 4))
    # allow_nan would hide a NaN the service must never send.
    return json.loads(recv_exact(sock, length).decode("utf-8"), parse_constant=_no_constant)


def _no_constant(name):
    raise AssertionError(f"answer contains {name}")


def portfolio_rows(levels, days=DAYS, time="15:00:00"):
    return [{"datetime": f"{d} {time}", "unit_net_value": v} for d, v in zip(days, levels)]
