#!/usr/bin/env python3
"""Runs an installed stratdesk-server the way a desktop session does and checks one backtest.

Usage: installed-road.py SERVER_BINARY

Started from / with the caller's HOME, the server must keep its data in
$HOME/.local/share/stratdesk (mode 0700), seed the example strategies, and run example 1 with
the installed stand-in engine over the installed sample bundle to portfolio rows and no
exception. Exits non-zero, saying why, on the first failure.
"""

import json
import os
import signal
import sqlite3
import subprocess
import sys
import time
import urllib.parse
import urllib.request


LOG = os.path.join(os.environ.get("HOME", "/nonexistent"), ".local", "state", "stratdesk",
                   "stratdesk.log")


def fail(message):
    if os.path.exists(LOG):
        with open(LOG, encoding="utf-8", errors="replace") as text:
            sys.stderr.writelines(text.readlines()[-20:])
    print("installed-road: " + message, file=sys.stderr)
    sys.exit(1)


def wait_for_listening(server, deadline):
    line = ""
    while time.monotonic() < deadline:
        line = server.stdout.readline()
        if not line:
            break
        if "listening on http://" in line:
            address = line.split("listening on http://", 1)[1].strip()
            return "http://" + address
    fail("the server did not start; last output: %r" % line)


def call(url, form=None):
    data = urllib.parse.urlencode(form).encode() if form is not None else None
    with urllib.request.urlopen(url, data=data, timeout=30) as answer:
        return json.loads(answer.read())


def backtest_row(db_path, backtest_id):
    with sqlite3.connect("file:%s?mode=ro" % db_path, uri=True, timeout=5) as connection:
        return connection.execute(
            "SELECT state, exception FROM backtests WHERE id = ?", (backtest_id,)).fetchone()


def wait_stopped(db_path, backtest_id, deadline):
    while time.monotonic() < deadline:
        row = backtest_row(db_path, backtest_id)
        if row is not None and row[0] == "stopped":
            return row
        time.sleep(0.2)
    fail("backtest %d did not stop in time" % backtest_id)


def run(binary):
    home = os.environ["HOME"]
    data = os.path.join(home, ".local", "share", "stratdesk")
    # The log also goes to standard error; the log file is shown when something fails.
    server = subprocess.Popen([binary, "--port", "0"], cwd="/", stdout=subprocess.PIPE,
                              stderr=subprocess.DEVNULL, text=True)
    try:
        base = wait_for_listening(server, time.monotonic() + 60)
        mode = os.stat(data).st_mode & 0o777
        if mode != 0o700:
            fail("%s has mode %o, not 700" % (data, mode))
        example = call(base + "/algorithms/1")
        launched = call(base + "/algorithms/1/backtests",
                        {"config": example["config"], "code": example["code"]})
        backtest_id = launched["id"]
        state, exception = wait_stopped(os.path.join(data, "stratdesk.db"), backtest_id,
                                        time.monotonic() + 120)
        if exception:
            fail("backtest %d stopped with %r" % (backtest_id, exception))
        rows = call("%s/algorithms/1/backtests/%d/feeds/portfolio?start_index=0&limit=5"
                    % (base, backtest_id))
        if len(rows) != 5:
            fail("backtest %d has %d portfolio rows, not 5" % (backtest_id, len(rows)))
        with open(LOG, encoding="utf-8", errors="replace") as text:
            if "/usr/share/stratdesk/engine/kestrun-plus-script.py" not in text.read() and \
                    binary.startswith("/usr/"):
                fail("the log names no installed engine")
        print("installed-road: backtest %d of example 1 ended with portfolio rows" % backtest_id)
    finally:
        server.send_signal(signal.SIGTERM)
        try:
            code = server.wait(timeout=30)
        except subprocess.TimeoutExpired:
            server.kill()
            server.wait()
            fail("the server did not stop on SIGTERM")
    if code != 0:
        fail("the server exited with %d" % code)


if __name__ == "__main__":
    if len(sys.argv) != 2:
        fail("usage: installed-road.py SERVER_BINARY")
    run(sys.argv[1])
