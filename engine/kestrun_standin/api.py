"""What a strategy sees: the injected functions, context, bars and portfolio."""

import builtins
import datetime
import math
import sys
import traceback
from collections.abc import Mapping

from .bundle import FIELDS
from .feed import FeedError
from .sim import Position

HOOKS = ("init", "before_trading", "handle_bar", "after_trading")


class StrategyError(Exception):
    """The strategy raised; the message is the traceback meant for the user."""


class Bar:
    __slots__ = ("order_book_id", "symbol", "datetime", "open", "high", "low", "close", "volume")

    def __init__(self, instrument, when, columns, i):
        self.order_book_id = instrument.order_book_id
        self.symbol = instrument.symbol
        self.datetime = when
        self.open = columns["open"][i]
        self.high = columns["high"][i]
        self.low = columns["low"][i]
        self.close = columns["close"][i]
        self.volume = columns["volume"][i]

    @property
    def last(self):
        return self.close

    def __repr__(self):
        return "Bar(%s %s o=%s h=%s l=%s c=%s v=%s)" % (
            self.order_book_id, self.datetime.date(), self.open, self.high, self.low, self.close, self.volume)


class BarDict(Mapping):
    """The day's bars by instrument id; only instruments that traded that day are in it."""

    def __init__(self, bundle, day, when):
        self._bundle = bundle
        self._day = day
        self._when = when
        self._cache = {}

    def __getitem__(self, oid):
        bar = self._cache.get(oid)
        if bar is None:
            i = self._bundle.bar_index(oid, self._day)
            if i is None:
                raise KeyError("no bar for %r on %s (unknown, not listed yet or not trading)" % (oid, self._day))
            bar = self._cache[oid] = Bar(self._bundle.instrument(oid), self._when,
                                         self._bundle.bars[oid].columns, i)
        return bar

    def __iter__(self):
        return (oid for oid in self._bundle.instruments if self._bundle.bar_index(oid, self._day) is not None)

    def __len__(self):
        return sum(1 for _ in self)

    def __contains__(self, oid):
        return self._bundle.bar_index(oid, self._day) is not None


class Positions(Mapping):
    """Held positions by id; an id not held reads as an empty position."""

    def __init__(self, runner):
        self._runner = runner

    def _all(self):
        merged = {}
        for account in self._runner.accounts.values():
            merged.update(account.positions)
        return merged

    def __getitem__(self, oid):
        pos = self._runner.broker.position(oid)
        if pos is not None:
            return pos
        instrument = self._runner.bundle.instrument(oid)
        if instrument is None:
            raise KeyError("unknown instrument %r" % (oid,))
        return Position(instrument)

    def __contains__(self, oid):
        return self._runner.broker.position(oid) is not None

    def __iter__(self):
        return iter(sorted(self._all()))

    def __len__(self):
        return len(self._all())


class Portfolio:
    def __init__(self, runner):
        self._runner = runner
        self.positions = Positions(runner)

    def _sum(self, attr):
        return sum(getattr(a, attr) for a in self._runner.accounts.values())

    cash = property(lambda self: self._sum("cash"))
    market_value = property(lambda self: self._sum("market_value"))
    total_value = property(lambda self: self._sum("total_value"))
    starting_cash = property(lambda self: self._sum("starting_cash"))
    units = property(lambda self: self._runner.units)
    unit_net_value = property(lambda self: self.total_value / self._runner.units)
    total_returns = property(lambda self: self.unit_net_value - 1)
    daily_returns = property(lambda self: self.total_value / self._runner.static_total - 1)

    def __repr__(self):
        return "Portfolio(total_value=%.2f, cash=%.2f, positions=%d)" % (
            self.total_value, self.cash, len(self.positions))


class RunInfo:
    def __init__(self, config):
        self.start_date = datetime.date.fromisoformat(config.start)
        self.end_date = datetime.date.fromisoformat(config.end)
        self.frequency = config.frequency
        self.benchmark = config.benchmark
        self.matching_type = config.matching
        self.stock_starting_cash = config.stock_cash or 0.0
        self.future_starting_cash = config.future_cash or 0.0
        self.commission_multiplier = config.commission_multiplier
        self.margin_multiplier = config.margin_multiplier
        self.slippage = config.slippage


class Context:
    """Passed to every hook; strategies may keep their own attributes on it."""

    def __init__(self, runner):
        self._runner = runner
        self.portfolio = Portfolio(runner)
        self.run_info = RunInfo(runner.config)

    @property
    def now(self):
        return self._runner.market.now

    @property
    def stock_account(self):
        return self._runner.accounts.get("STOCK")

    @property
    def future_account(self):
        return self._runner.accounts.get("FUTURE")


class Logger:
    def __init__(self, journal):
        self._journal = journal

    def _write(self, level, msg, args):
        self._journal.write(level, (msg % args) if args else str(msg))

    def debug(self, msg, *args):
        self._write(10, msg, args)

    def info(self, msg, *args):
        self._write(20, msg, args)

    def warning(self, msg, *args):
        self._write(30, msg, args)

    warn = warning

    def error(self, msg, *args):
        self._write(40, msg, args)


def _number(name, value):
    if isinstance(value, bool) or not isinstance(value, (int, float)) or not math.isfinite(value):
        raise TypeError("%s must be a finite number, got %r" % (name, value))
    return value


class StrategyAPI:
    """Builds the strategy's globals and calls its hooks."""

    def __init__(self, runner, path, parameters):
        self.runner = runner
        self.path = path
        self.parameters = parameters
        self.context = Context(runner)
        self.logger = Logger(runner.journal)
        self.hooks = {}

    # -- the injected functions ----------------------------------------------

    def order_shares(self, order_book_id, amount):
        return self.runner.broker.submit(order_book_id, _number("amount", amount))

    def order_value(self, order_book_id, cash_amount):
        _number("cash_amount", cash_amount)
        unit_value = self._unit_value(order_book_id)
        if unit_value is None:
            return None
        return self.runner.broker.submit(order_book_id, int(cash_amount / unit_value), quiet=True)

    def order_percent(self, order_book_id, percent):
        return self.order_value(order_book_id, _number("percent", percent) * self.context.portfolio.total_value)

    def order_target_value(self, order_book_id, cash_amount):
        _number("cash_amount", cash_amount)
        unit_value = self._unit_value(order_book_id)
        if unit_value is None:
            return None
        pos = self.runner.broker.position(order_book_id)
        held = pos.quantity if pos else 0
        if cash_amount == 0:
            return self.runner.broker.submit(order_book_id, -held) if held else None
        return self.runner.broker.submit(order_book_id, int(cash_amount / unit_value - held), quiet=True)

    def order_target_percent(self, order_book_id, percent):
        return self.order_target_value(order_book_id,
                                       _number("percent", percent) * self.context.portfolio.total_value)

    def _unit_value(self, oid):
        instrument = self.runner.bundle.instrument(oid)
        price = self.runner.market.price(oid)
        if instrument is None or not price:
            self.runner.journal.write(30, "order refused: no price for %r yet" % (oid,))
            return None
        return price * instrument.multiplier

    def history_bars(self, order_book_id, bar_count, field):
        bars = self.runner.bundle.bars.get(order_book_id)
        if bars is None:
            raise KeyError("unknown instrument %r" % (order_book_id,))
        if field not in FIELDS:
            raise ValueError("field must be one of %s, got %r" % (", ".join(FIELDS), field))
        # Today's bar is known from handle_bar() on, never before.
        market = self.runner.market
        end = bars.count_through(market.day, inclusive=market.phase in ("handle_bar", "after_trading"))
        return bars.columns[field][max(0, end - int(bar_count)):end]

    def plot(self, name, value):
        self.runner.feed.add("plot_feeds", self.runner.market.now_text(), [str(name), float(value)])

    def instruments(self, order_book_id):
        return self.runner.bundle.instrument(order_book_id)

    def all_instruments(self, type=None):
        return [i for oid, i in sorted(self.runner.bundle.instruments.items()) if type in (None, i.type)]

    def _print(self, *args, sep=" ", end="\n", file=None, flush=False):
        if file not in (None, sys.stdout):
            return builtins.print(*args, sep=sep, end=end, file=file, flush=flush)
        self.logger.info(sep.join(str(a) for a in args))

    def namespace(self):
        return {
            "__name__": "strategy",
            "__file__": self.path,
            "__builtins__": builtins,
            "parameter": self.parameters,
            "logger": self.logger,
            "print": self._print,
            "order_shares": self.order_shares,
            "order_value": self.order_value,
            "order_percent": self.order_percent,
            "order_target_value": self.order_target_value,
            "order_target_percent": self.order_target_percent,
            "history_bars": self.history_bars,
            "plot": self.plot,
            "instruments": self.instruments,
            "all_instruments": self.all_instruments,
        }

    # -- running the strategy ------------------------------------------------

    def load(self):
        ns = self.namespace()
        try:
            with open(self.path, "rb") as f:
                source = f.read()
        except OSError as exc:
            raise StrategyError("cannot read strategy file %s: %s" % (self.path, exc.strerror or exc)) from None
        self._guard(lambda: exec(compile(source, self.path, "exec"), ns))
        self.hooks = {name: ns[name] for name in HOOKS if callable(ns.get(name))}
        if "handle_bar" not in self.hooks:
            raise StrategyError("the strategy defines no handle_bar(context, bar_dict)")

    def call(self, hook, *args):
        fn = self.hooks.get(hook)
        if fn is not None:
            self._guard(lambda: fn(self.context, *args))

    def _guard(self, thunk):
        try:
            thunk()
        except FeedError:
            raise
        except (Exception, SystemExit) as exc:
            raise StrategyError(self._format(exc)) from None

    def _format(self, exc):
        # Show the user's frames, not the engine's: start at the first frame in the strategy file.
        tb = exc.__traceback__
        while tb is not None and tb.tb_frame.f_code.co_filename != self.path:
            tb = tb.tb_next
        if tb is None:
            lines = traceback.format_exception_only(type(exc), exc)
        else:
            lines = traceback.format_exception(type(exc), exc, tb)
        return "".join(lines).rstrip()
