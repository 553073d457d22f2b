"""Command line, process lifecycle and exit status of the stand-in engine.

Exit status: 0 the backtest ran to its end; 1 it failed (strategy error, bad
data or option value, results undeliverable); 2 the command line was refused.
TERM, INT and HUP end the process by that signal, after removing the pid file.
"""

import argparse
import cProfile
import datetime
import os
import pstats
import secrets
import signal
import sys

from .api import StrategyError
from .bundle import Bundle, BundleError
from .feed import FeedClient, FeedError, NoFeed
from .params import Parameters, parse_assignment
from .runner import Journal, RunConfig, RunError, Runner

PROG = "kestrun-plus-script.py"
REPO = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
DEFAULT_BUNDLE = os.path.join(REPO, "sample-data", "bundle")

EXIT_OK, EXIT_FAILED, EXIT_USAGE = 0, 1, 2


class UsageError(Exception):
    pass


class _Parser(argparse.ArgumentParser):
    def error(self, message):
        raise UsageError("%s%s: error: %s\n" % (self.format_usage(), self.prog, message))


def _number(minimum):
    def read(text):
        try:
            value = float(text)
        except ValueError:
            raise argparse.ArgumentTypeError("%r is not a number" % text) from None
        if not value >= minimum:        # also false for nan
            raise argparse.ArgumentTypeError("%r is below %g" % (text, minimum))
        return value
    return read


def _positions(text):
    """'ID:QTY,ID:QTY' -> [(ID, QTY)]"""
    result = []
    for item in filter(None, (part.strip() for part in text.split(","))):
        oid, sep, qty = item.rpartition(":")
        try:
            if not sep or not oid:
                raise ValueError
            result.append((oid, int(float(qty))))
        except ValueError:
            raise argparse.ArgumentTypeError("expected ID:QUANTITY[,ID:QUANTITY...], got %r" % item) from None
    return result


def _assignment(text):
    try:
        return parse_assignment(text)
    except ValueError as exc:
        raise argparse.ArgumentTypeError(str(exc)) from None


def build_parser():
    parser = _Parser(prog=PROG, allow_abbrev=False,
                     description="Stand-in backtest engine over daily bars.")
    commands = parser.add_subparsers(dest="command", required=True, metavar="run")
    run = commands.add_parser("run", allow_abbrev=False, help="run one backtest")
    run.add_argument("-s", "--start-date", required=True, metavar="YYYY-MM-DD")
    run.add_argument("-e", "--end-date", required=True, metavar="YYYY-MM-DD")
    run.add_argument("-f", "--strategy-file", required=True, metavar="FILE")
    run.add_argument("--account", nargs=2, action="append", default=[], metavar=("TYPE", "AMOUNT"),
                     help="stock or future, with its starting cash; may be given for both")
    run.add_argument("--position", type=_positions, default=[], metavar="ID:QTY[,ID:QTY...]",
                     help="positions held at the start")
    run.add_argument("--frequency", default="1d", help="bar frequency; only 1d is supported")
    run.add_argument("--benchmark", default="000300.XSHG", metavar="ID")
    run.add_argument("--commission-multiplier", type=_number(0.0), default=1.0, metavar="X")
    run.add_argument("--margin-multiplier", type=_number(0.0), default=1.0, metavar="X")
    matching = run.add_mutually_exclusive_group()
    matching.add_argument("--signal", action="store_true",
                          help="fill at the bar's close without volume limit")
    matching.add_argument("--matching-type", choices=("current_bar", "next_bar"), default="current_bar")
    run.add_argument("--slippage", type=_number(0.0), default=0.0, metavar="X",
                     help="price ratio added to buys and taken from sells")
    run.add_argument("--enable-profiler", action="store_true")
    run.add_argument("--short-stock", action="store_true")
    run.add_argument("--report", metavar="DIR")
    run.add_argument("--dividend-reinvestment", action="store_true",
                     help="accepted; the sample data has no dividends")
    run.add_argument("--parameter-in", type=_assignment, action="append", default=[], metavar="NAME:VALUE")
    run.add_argument("-mc", nargs=2, action="append", default=[], dest="settings", metavar=("KEY", "VALUE"),
                     help="engine setting, e.g. tarnel.enabled True")
    return parser


class Tarnel:
    """The reporting extension: on when tarnel.enabled is True."""

    def __init__(self, settings):
        enabled = settings.get("tarnel.enabled", "False")
        if enabled not in ("True", "False"):
            raise UsageError("%s: error: tarnel.enabled must be True or False, got %r\n" % (PROG, enabled))
        self.enabled = enabled == "True"
        self.backtest_id = self.algorithm_id = None
        if self.enabled:
            for key in ("tarnel.backtest_id", "tarnel.algorithm_id"):
                try:
                    setattr(self, key.split(".")[1], int(settings[key]))
                except (KeyError, ValueError):
                    raise UsageError("%s: error: tarnel.enabled True needs an integer -mc %s\n" % (PROG, key)) \
                        from None


def _config(opts):
    accounts = {}
    for kind, amount in opts.account:
        if kind not in ("stock", "future"):
            raise UsageError("%s: error: --account type must be stock or future, got %r\n" % (PROG, kind))
        try:
            accounts[kind] = _number(0.0)(amount)
        except argparse.ArgumentTypeError as exc:
            raise UsageError("%s: error: --account %s: %s\n" % (PROG, kind, exc)) from None
    if not accounts and not opts.position:
        raise UsageError("%s: error: give --account stock AMOUNT and/or --account future AMOUNT\n" % PROG)
    return RunConfig(
        start=opts.start_date, end=opts.end_date, strategy_file=os.path.abspath(opts.strategy_file),
        stock_cash=accounts.get("stock"), future_cash=accounts.get("future"), positions=opts.position,
        frequency=opts.frequency, benchmark=opts.benchmark,
        commission_multiplier=opts.commission_multiplier, margin_multiplier=opts.margin_multiplier,
        matching="signal" if opts.signal else opts.matching_type, slippage=opts.slippage,
        short_stock=opts.short_stock, report_dir=opts.report, dividend_reinvestment=opts.dividend_reinvestment)


# -- pid file ----------------------------------------------------------------

_pid_file = None


def _write_pid_file(backtest_id):
    global _pid_file
    pid_dir = os.environ.get("STRATDESK_PID_DIR")
    if not pid_dir or not os.path.isdir(pid_dir):
        return
    # Claimed before it exists, so a signal arriving mid-write still removes it.
    _pid_file = os.path.join(pid_dir, "%d.identity" % os.getpid())
    try:
        fd = os.open(_pid_file, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o644)
        try:
            # One write: the directory's watcher may read the file at any moment.
            os.write(fd, ("%s %d\n" % (secrets.token_hex(8), backtest_id)).encode("ascii"))
        finally:
            os.close(fd)
    except OSError as exc:
        sys.stderr.write("%s: cannot write pid file %s: %s\n" % (PROG, _pid_file, exc))


def _remove_pid_file():
    global _pid_file
    path, _pid_file = _pid_file, None
    if path:
        try:
            os.remove(path)
        except OSError:
            pass


def _die_by_signal(signum, _frame):
    # Whoever stopped us waits on our exit; pending rows are not worth a delay.
    _remove_pid_file()
    signal.signal(signum, signal.SIG_DFL)
    os.kill(os.getpid(), signum)


# -- running -----------------------------------------------------------------

def _feed_client(tarnel, **overrides):
    url = os.environ.get("STRATDESK_FEED_URL")
    if not url:
        raise FeedError("STRATDESK_FEED_URL is not set; it is needed to report results (tarnel.enabled True)")
    try:
        retry = float(os.environ.get("KESTRUN_FEED_RETRY_SECONDS") or 20.0)
    except ValueError:
        raise FeedError("KESTRUN_FEED_RETRY_SECONDS must be a number of seconds") from None
    return FeedClient(url, tarnel.algorithm_id, tarnel.backtest_id, token=os.environ.get("STRATDESK_TOKEN"),
                      retry_seconds=retry, **overrides)


def _day_start(text):
    try:
        return datetime.date.fromisoformat(text).isoformat() + " 00:00:00"
    except (TypeError, ValueError):
        return datetime.datetime.now().strftime("%Y-%m-%d %H:%M:%S")


def _last_words(argv, message):
    """Best effort: tell the server why a refused command line ran nothing."""
    settings, start = {}, None
    for i, arg in enumerate(argv[:-1]):
        if arg == "-mc" and i + 2 < len(argv):
            settings[argv[i + 1]] = argv[i + 2]
        elif arg in ("-s", "--start-date"):
            start = argv[i + 1]
    try:
        tarnel = Tarnel(settings)
        if not tarnel.enabled:
            return
        client = _feed_client(tarnel, batch_seconds=3600.0)
    except (UsageError, FeedError, ValueError):
        return
    client.add("log_feeds", _day_start(start), ["engine command line refused: " + message.strip(), 40])
    client.flush_once()


def _run(config, tarnel, given_parameters, profile):
    try:
        feed = _feed_client(tarnel) if tarnel.enabled else NoFeed()
    except FeedError as exc:
        sys.stderr.write("%s: %s\n" % (PROG, exc))
        return EXIT_FAILED
    journal = Journal(feed, echo_all=not tarnel.enabled)
    journal.clock = lambda: _day_start(config.start)
    profiler = cProfile.Profile() if profile else None
    status = EXIT_FAILED
    try:
        try:
            if config.frequency != "1d":
                raise RunError("frequency %r is not supported by this engine: only 1d (daily bars)"
                               % config.frequency)
            bundle = Bundle(os.environ.get("STRATDESK_BUNDLE_DIR") or DEFAULT_BUNDLE)
            runner = Runner(config, bundle, feed, journal, Parameters(given_parameters))
            if profiler:
                profiler.enable()
            try:
                runner.run()
            finally:
                if profiler:
                    profiler.disable()
            if config.report_dir:
                try:
                    runner.write_report(config.report_dir)
                except OSError as exc:
                    raise RunError("cannot write the report to %s: %s" % (config.report_dir, exc)) from None
            status = EXIT_OK
        except (RunError, BundleError, StrategyError) as exc:
            journal.write(40, str(exc))
        feed.close()
    except FeedError as exc:
        sys.stderr.write("%s: %s\n" % (PROG, exc))
        return EXIT_FAILED
    finally:
        if profiler:
            pstats.Stats(profiler, stream=sys.stderr).sort_stats("cumulative").print_stats(25)
    return status


def main(argv=None):
    argv = sys.argv[1:] if argv is None else list(argv)
    try:
        opts = build_parser().parse_args(argv)
        tarnel = Tarnel(dict(opts.settings))
        config = _config(opts)
    except UsageError as exc:
        sys.stderr.write(str(exc))
        _last_words(argv, str(exc).splitlines()[-1])
        return EXIT_USAGE
    for key, _value in opts.settings:
        if not key.startswith("tarnel."):
            sys.stderr.write("%s: ignoring unknown setting -mc %s\n" % (PROG, key))

    stop_signals = [s for s in (signal.SIGTERM, signal.SIGINT, getattr(signal, "SIGHUP", None)) if s]
    for signum in stop_signals:
        signal.signal(signum, _die_by_signal)
    if hasattr(signal, "pthread_sigmask"):
        # A spawned child inherits its parent's blocked-signal mask; a parent
        # that blocks TERM for its own handling must not make us unstoppable.
        signal.pthread_sigmask(signal.SIG_UNBLOCK, stop_signals)
    try:
        if tarnel.enabled:
            _write_pid_file(tarnel.backtest_id)
        return _run(config, tarnel, dict(opts.parameter_in), opts.enable_profiler)
    finally:
        _remove_pid_file()
