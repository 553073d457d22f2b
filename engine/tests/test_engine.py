"""The stand-in engine, run as the server runs it: a child process posting to an HTTP endpoint."""

import csv
import http.server
import json
import os
import re
import signal
import socket
import subprocess
import sys
import tempfile
import textwrap
import threading
import time
import unittest
import urllib.parse

ENGINE_DIR = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
SCRIPT = os.path.join(ENGINE_DIR, "kestrun-plus-script.py")
EXAMPLES = os.path.join(ENGINE_DIR, "examples")
BARS = os.path.join(os.path.dirname(ENGINE_DIR), "sample-data", "bundle", "bars")

WIDTHS = {"portfolio_feeds": 15, "position_feeds": 24, "trade_feeds": 13, "risk_feeds": 12,
          "account_feeds": 9, "log_feeds": 5, "plot_feeds": 5}
IDS = ["-mc", "tarnel.enabled", "True", "-mc", "tarnel.backtest_id", "7", "-mc", "tarnel.algorithm_id", "3"]


class FeedServer:
    """Records every POST; can answer the first few with an error status."""

    def __init__(self, failures=0, on_post=None):
        self.posts = []
        self.failures = failures
        self.on_post = on_post
        owner = self

        class Handler(http.server.BaseHTTPRequestHandler):
            protocol_version = "HTTP/1.1"

            def do_POST(self):
                body = self.rfile.read(int(self.headers["Content-Length"]))
                if owner.failures > 0:
                    owner.failures -= 1
                    status, answer = 503, b"busy"
                else:
                    form = urllib.parse.parse_qs(body.decode("ascii"), strict_parsing=True)
                    owner.posts.append((dict(self.headers), {k: json.loads(v[0]) for k, v in form.items()}))
                    if owner.on_post:
                        owner.on_post()
                    status, answer = 200, b"null"
                self.send_response(status)
                self.send_header("Content-Type", "application/json")
                self.send_header("Content-Length", str(len(answer)))
                self.end_headers()
                self.wfile.write(answer)

            def log_message(self, *args):
                pass

        self.httpd = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        self.url = "http://127.0.0.1:%d/api/feedgroup" % self.httpd.server_address[1]
        threading.Thread(target=self.httpd.serve_forever, daemon=True).start()

    def close(self):
        self.httpd.shutdown()
        self.httpd.server_close()

    def rows(self, kind):
        return [row for _headers, form in self.posts for row in form.get(kind, [])]


def read(path):
    with open(path, encoding="utf-8") as f:
        return f.read()


def bars(oid):
    with open(os.path.join(BARS, oid + ".csv"), encoding="utf-8") as f:
        return {r["date"]: r for r in csv.DictReader(f)}


class EngineCase(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.TemporaryDirectory()
        self.addCleanup(self.tmp.cleanup)
        self.pid_dir = os.path.join(self.tmp.name, "pids")
        os.mkdir(self.pid_dir)
        self.server = FeedServer()
        self.addCleanup(self.server.close)

    def strategy(self, source):
        path = os.path.join(self.tmp.name, "strategy.py")
        with open(path, "w", encoding="utf-8") as f:
            f.write(textwrap.dedent(source))
        return path

    def command(self, strategy, start="2016-01-04", end="2016-12-30", extra=(), ids=IDS):
        return [sys.executable, SCRIPT, "run", "-s", start, "-e", end, "-f", strategy,
                "--account", "stock", "100000.0", "--frequency", "1d", *extra, *ids]

    def env(self, **extra):
        env = {k: v for k, v in os.environ.items() if not k.startswith(("STRATDESK_", "KESTRUN_"))}
        env.update(STRATDESK_FEED_URL=self.server.url, STRATDESK_PID_DIR=self.pid_dir, **extra)
        return env

    def run_engine(self, *args, env=None, **kwargs):
        # From a foreign working directory, as the server starts it.
        return subprocess.run(self.command(*args, **kwargs), env=env or self.env(), cwd=self.tmp.name,
                              capture_output=True, text=True, timeout=60)

    def logs(self, level=None):
        return [r[3] for r in self.server.rows("log_feeds") if level is None or r[4] == level]


class FeedContractTest(EngineCase):
    def test_full_run_posts_every_kind_in_batches(self):
        seen_pid_files = []
        self.server.on_post = lambda: seen_pid_files.append({n: read(os.path.join(self.pid_dir, n))
                                                             for n in os.listdir(self.pid_dir)})
        proc = subprocess.Popen(
            self.command(os.path.join(EXAMPLES, "dual_moving_average.py"),
                         extra=["--parameter-in", "fast:3", "--parameter-in", "slow:10"]),
            env=self.env(STRATDESK_TOKEN="s3cret"), cwd=self.tmp.name,
            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        _out, err = proc.communicate(timeout=60)
        self.assertEqual(proc.returncode, 0, err)

        for kind, width in WIDTHS.items():
            rows = self.server.rows(kind)
            self.assertTrue(rows, kind)
            for row in rows:
                self.assertEqual(len(row), width, (kind, row))
                self.assertEqual(row[:2], [3, 7])
                self.assertRegex(row[2], r"^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d$")
            stamps = [r[2] for r in rows]
            self.assertEqual(stamps, sorted(stamps), kind)

        portfolio = self.server.rows("portfolio_feeds")
        own = [r for r in portfolio if r[3] == 0]
        bench = [r for r in portfolio if r[3] == 1]
        self.assertEqual(len(own), 244)
        self.assertEqual([r[2] for r in own], [r[2] for r in bench])
        self.assertEqual(own[0][2], "2016-01-04 15:00:00")
        self.assertEqual(own[-1][2], "2016-12-30 15:00:00")
        hs300 = bars("000300.XSHG")
        self.assertAlmostEqual(bench[-1][7], float(hs300["2016-12-30"]["close"]) / float(hs300["2016-01-04"]["open"]))
        for row in own:
            self.assertAlmostEqual(row[5], row[4] + row[6], places=6)
        self.assertIn("dual moving average on 600519.XSHG: fast=3 slow=10", self.logs(20))
        self.assertEqual(len(self.server.rows("risk_feeds")), 244)

        self.assertGreater(len(self.server.posts), 3)
        for headers, form in self.server.posts:
            self.assertEqual(headers["Authorization"], "Bearer s3cret")
            self.assertEqual(headers["Content-Type"], "application/x-www-form-urlencoded")
            self.assertLessEqual(sum(len(v) for v in form.values()), 250)

        self.assertEqual(list(seen_pid_files[0]), ["%d.identity" % proc.pid])
        self.assertRegex(seen_pid_files[0]["%d.identity" % proc.pid], r"^[0-9a-f]+ 7\n$")
        self.assertEqual(os.listdir(self.pid_dir), [])

    def test_command_line_refusals_exit_2(self):
        strategy = self.strategy("def handle_bar(context, bar_dict): pass\n")
        result = self.run_engine(strategy, extra=["--no-such-option"])
        self.assertEqual(result.returncode, 2)
        self.assertIn("--no-such-option", result.stderr)
        # The refusal still reaches the user's log when the ids are readable.
        self.assertEqual(len(self.logs(40)), 1)
        self.assertIn("--no-such-option", self.logs(40)[0])

        result = self.run_engine(strategy, ids=["-mc", "tarnel.enabled", "True", "-mc", "tarnel.algorithm_id", "3"])
        self.assertEqual(result.returncode, 2)
        self.assertIn("tarnel.backtest_id", result.stderr)
        self.assertEqual(os.listdir(self.pid_dir), [])

    def test_run_failures_log_an_error_and_exit_1(self):
        cases = [
            ("frequency", self.strategy("def handle_bar(context, bar_dict): pass\n"),
             ["--frequency", "1m"], "'1m' is not supported"),
            ("benchmark", self.strategy("def handle_bar(context, bar_dict): pass\n"),
             ["--benchmark", "999999.XSHG"], "999999.XSHG"),
            ("no handle_bar", self.strategy("def init(context): pass\n"), [], "handle_bar"),
        ]
        for name, strategy, extra, message in cases:
            with self.subTest(name):
                self.server.posts.clear()
                result = self.run_engine(strategy, extra=extra)
                self.assertEqual(result.returncode, 1)
                self.assertIn(message, self.logs(40)[-1])
                self.assertIn(message, result.stderr)
                self.assertEqual(os.listdir(self.pid_dir), [])

    def test_strategy_exception_is_logged_with_its_traceback(self):
        strategy = self.strategy("""\
            def init(context):
                context.days = 0

            def handle_bar(context, bar_dict):
                context.days += 1
                if context.days == 3:
                    context.ratio = 1 / 0
            """)
        result = self.run_engine(strategy)
        self.assertEqual(result.returncode, 1)
        error = self.logs(40)[-1]
        self.assertIn("ZeroDivisionError", error)
        self.assertIn('strategy.py", line 7, in handle_bar', error)
        self.assertNotIn("kestrun_standin", error)
        self.assertEqual(self.server.rows("log_feeds")[-1][2], "2016-01-06 15:00:00")
        # The days before the failure were delivered by the final flush.
        self.assertEqual(len([r for r in self.server.rows("portfolio_feeds") if r[3] == 0]), 2)
        self.assertEqual(os.listdir(self.pid_dir), [])

    def test_parameters_reach_the_strategy_converted(self):
        strategy = self.strategy("""\
            WINDOW = parameter("window", 5, minimum=1, maximum=100)
            RATIO = parameter("ratio", 0.5)
            FLAG = parameter("flag", False)
            NAMES = parameter("names", ["a"])
            LABEL = parameter("label", "x", choices=["x", "y: z"])
            KEPT = parameter("kept", 11, type="float")

            def init(context):
                logger.info("%r", (WINDOW, RATIO, FLAG, NAMES, LABEL, KEPT))

            def handle_bar(context, bar_dict):
                pass
            """)
        given = ["window:20", "ratio:1e-05", "flag:True", "names:['b', 1]", "label:y: z", "stray:1"]
        extra = [a for g in given for a in ("--parameter-in", g)]
        result = self.run_engine(strategy, end="2016-01-05", extra=extra)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertIn("(20, 1e-05, True, ['b', 1], 'y: z', 11)", self.logs(20))
        self.assertTrue(any("stray" in text for text in self.logs(30)))

        for bad, message in (("window:500", "above the maximum"), ("ratio:abc", "cannot read 'abc' as float"),
                             ("flag:yes", "cannot read 'yes' as bool")):
            with self.subTest(bad):
                self.server.posts.clear()
                result = self.run_engine(strategy, end="2016-01-05", extra=["--parameter-in", bad])
                self.assertEqual(result.returncode, 1)
                self.assertIn(message, self.logs(40)[-1])


class ExamplesTest(EngineCase):
    def test_examples_run_cleanly_with_their_seed_configs(self):
        with open(os.path.join(EXAMPLES, "configs.json"), encoding="utf-8") as f:
            configs = json.load(f)
        self.assertEqual(sorted(configs), sorted(n for n in os.listdir(EXAMPLES) if n.endswith(".py")))
        for name, entry in configs.items():
            with self.subTest(name):
                self.server.posts.clear()
                c = entry["config"]
                self.assertTrue(entry["name"])
                matching = ["--signal"] if c["matching_type"] == "signal" else ["--matching-type", c["matching_type"]]
                command = [sys.executable, SCRIPT, "run", "-s", c["start_date"], "-e", c["end_date"],
                           "-f", os.path.join(EXAMPLES, name), "--account", "stock", str(c["stock_starting_cash"]),
                           "--frequency", c["frequency"], "--benchmark", c["benchmark"],
                           "--commission-multiplier", str(c["commission_multiplier"]), *matching,
                           "--slippage", str(c["slippage"]), *IDS]
                result = subprocess.run(command, env=self.env(), capture_output=True, text=True, timeout=60)
                self.assertEqual(result.returncode, 0, result.stderr)
                self.assertEqual([t for t in self.logs() if t not in self.logs(20)], [])
                self.assertTrue(self.server.rows("trade_feeds"))


class SimulationTest(EngineCase):
    def trades(self):
        return [dict(zip(("oid", "order_id", "side", "effect", "exec_id", "cost", "qty", "price", "commission", "tax"),
                         r[3:])) | {"when": r[2]} for r in self.server.rows("trade_feeds")]

    def test_next_bar_fills_costs_and_report(self):
        strategy = self.strategy("""\
            def init(context):
                context.day = 0

            def handle_bar(context, bar_dict):
                context.day += 1
                if context.day == 1:
                    order_shares("000001.XSHE", 1050)     # rounds down to 1000
                    order_shares("600000.XSHG", -100)     # nothing held, no --short-stock
                elif context.day == 2:
                    order_target_value("000001.XSHE", 0)
                    order_shares("000001.XSHE", -1000)    # pending too: nothing left at the fill
            """)
        report = os.path.join(self.tmp.name, "report")
        result = self.run_engine(strategy, end="2016-01-08", extra=[
            "--matching-type", "next_bar", "--slippage", "0.01", "--commission-multiplier", "2",
            "--report", report, "--enable-profiler"])
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertIn("function calls", result.stderr)

        buy, sell = self.trades()
        day = bars("000001.XSHE")
        self.assertEqual((buy["when"], buy["side"], buy["effect"], buy["qty"]),
                         ("2016-01-05 09:30:00", "SIDE.BUY", "POSITION_EFFECT.OPEN", 1000))
        self.assertAlmostEqual(buy["price"], float(day["2016-01-05"]["open"]) * 1.01)
        self.assertAlmostEqual(buy["commission"], max(buy["price"] * 1000 * 0.0008, 5) * 2)
        self.assertEqual(buy["tax"], 0)
        self.assertEqual((sell["when"], sell["side"], sell["effect"]),
                         ("2016-01-06 09:30:00", "SIDE.SELL", "POSITION_EFFECT.CLOSE"))
        self.assertAlmostEqual(sell["price"], float(day["2016-01-06"]["open"]) * 0.99)
        self.assertAlmostEqual(sell["tax"], sell["price"] * 1000 * 0.001)
        self.assertEqual(len({buy["exec_id"], sell["exec_id"]}), 2)
        self.assertTrue(any("--short-stock" in text for text in self.logs(30)))
        self.assertTrue(any("cancelled: short selling is off" in text for text in self.logs(30)))

        final_cash = [r for r in self.server.rows("portfolio_feeds") if r[3] == 0][-1][4]
        expected = 100000 - 1000 * buy["price"] - buy["cost"] + 1000 * sell["price"] - sell["cost"]
        self.assertAlmostEqual(final_cash, expected, places=6)
        position = [r for r in self.server.rows("position_feeds") if r[2] == "2016-01-05 15:00:00"]
        self.assertEqual([r[3:6] for r in position], [["000001.XSHE", "STOCK", 1000]])
        self.assertAlmostEqual(position[0][7], buy["price"])      # avg_price
        self.assertAlmostEqual(position[0][21], buy["cost"])     # transaction_cost

        with open(os.path.join(report, "summary.json"), encoding="utf-8") as f:
            summary = json.load(f)
        self.assertEqual(summary["trades"], 2)
        self.assertAlmostEqual(summary["total_value"], expected, places=6)
        with open(os.path.join(report, "portfolio.csv"), encoding="utf-8") as f:
            self.assertEqual(len(list(csv.DictReader(f))), 5)

    def test_futures_margin_and_initial_positions(self):
        strategy = self.strategy("""\
            def init(context):
                context.day = 0

            def handle_bar(context, bar_dict):
                context.day += 1
                if context.day == 1:
                    order_shares("IF88", -2)
            """)
        result = self.run_engine(strategy, end="2016-01-06", extra=[
            "--account", "future", "1000000", "--margin-multiplier", "1.5", "--signal",
            "--position", "600519.XSHG:150"])
        self.assertEqual(result.returncode, 0, result.stderr)
        (trade,) = self.trades()
        self.assertEqual((trade["side"], trade["effect"], trade["qty"]), ("SIDE.SELL", "POSITION_EFFECT.OPEN", 2))

        futures = bars("IF88")
        accounts = {(r[2][:10], r[3]): r for r in self.server.rows("account_feeds")}
        close4, close6 = float(futures["2016-01-04"]["close"]), float(futures["2016-01-06"]["close"])
        day6 = accounts[("2016-01-06", "FUTURE")]
        self.assertAlmostEqual(day6[8], 2 * close6 * 300 * 0.12 * 1.5)                       # margin
        self.assertAlmostEqual(day6[7], 1000000 - trade["cost"] + 2 * (close4 - close6) * 300)  # total value
        self.assertAlmostEqual(day6[4], day6[7] - day6[8])                                    # cash

        moutai = bars("600519.XSHG")
        first = [r for r in self.server.rows("position_feeds") if r[2] == "2016-01-04 15:00:00"]
        held = {r[3]: r for r in first}
        self.assertEqual(held["600519.XSHG"][5], 150)
        self.assertAlmostEqual(held["600519.XSHG"][7], float(moutai["2015-12-31"]["close"]))
        self.assertEqual(held["IF88"][5], -2)
        self.assertEqual(held["IF88"][16], 2)    # sell_quantity


class ProcessLifecycleTest(EngineCase):
    def test_term_kills_promptly_by_signal_and_removes_pid_file(self):
        strategy = self.strategy("""\
            import time

            def handle_bar(context, bar_dict):
                time.sleep(0.05)
            """)
        proc = subprocess.Popen(self.command(strategy), env=self.env(), cwd=self.tmp.name,
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        pid_file = os.path.join(self.pid_dir, "%d.identity" % proc.pid)
        deadline = time.monotonic() + 10
        while not os.path.exists(pid_file) and time.monotonic() < deadline:
            time.sleep(0.02)
        self.assertTrue(os.path.exists(pid_file))
        time.sleep(0.3)
        sent = time.monotonic()
        proc.send_signal(signal.SIGTERM)
        self.assertEqual(proc.wait(timeout=5), -signal.SIGTERM)
        self.assertLess(time.monotonic() - sent, 2)
        self.assertFalse(os.path.exists(pid_file))

    def test_delivery_retries_then_gives_up(self):
        self.server.failures = 2
        strategy = self.strategy("def handle_bar(context, bar_dict): pass\n")
        result = self.run_engine(strategy, end="2016-01-08")
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(len([r for r in self.server.rows("portfolio_feeds") if r[3] == 0]), 5)

        with socket.socket() as s:
            s.bind(("127.0.0.1", 0))
            dead_url = "http://127.0.0.1:%d/api/feedgroup" % s.getsockname()[1]
        env = self.env(KESTRUN_FEED_RETRY_SECONDS="1")
        env["STRATDESK_FEED_URL"] = dead_url
        started = time.monotonic()
        result = self.run_engine(strategy, end="2016-01-08", env=env)
        self.assertEqual(result.returncode, 1)
        self.assertLess(time.monotonic() - started, 10)
        self.assertRegex(result.stderr, re.escape(dead_url) + r".*gave up")
        self.assertEqual(os.listdir(self.pid_dir), [])


if __name__ == "__main__":
    unittest.main()
