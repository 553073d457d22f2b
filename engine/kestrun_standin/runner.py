"""The daily backtest loop and the rows it reports."""

import csv
import datetime
import json
import math
import os
import sys
from dataclasses import dataclass, field

from .api import BarDict, StrategyAPI
from .risk import RiskTracker, annualized
from .sim import Broker, FutureAccount, Market, StockAccount

LEVEL_NAMES = {10: "DEBUG", 20: "INFO", 30: "WARNING", 40: "ERROR"}


class RunError(Exception):
    """The run cannot start or go on for a reason that is not the strategy's code."""


@dataclass
class RunConfig:
    start: str
    end: str
    strategy_file: str
    stock_cash: float = None
    future_cash: float = None
    positions: list = field(default_factory=list)    # [(order_book_id, quantity)]
    frequency: str = "1d"
    benchmark: str = "000300.XSHG"
    commission_multiplier: float = 1.0
    margin_multiplier: float = 1.0
    matching: str = "current_bar"                    # current_bar | next_bar | signal
    slippage: float = 0.0
    short_stock: bool = False
    report_dir: str = None
    dividend_reinvestment: bool = False


class Journal:
    """Log lines of the run, as log feed rows; errors are echoed to stderr as well."""

    def __init__(self, feed, echo_all=False):
        self.feed = feed
        self.echo_all = echo_all
        self.clock = lambda: datetime.datetime.now().strftime("%Y-%m-%d %H:%M:%S")

    def write(self, level, text):
        when = self.clock()
        self.feed.add("log_feeds", when, [text, level])
        if level >= 40 or self.echo_all:
            sys.stderr.write("[%s] %s %s\n" % (when, LEVEL_NAMES.get(level, level), text))
            sys.stderr.flush()


def _finite(value):
    if isinstance(value, dict):
        return {k: _finite(v) for k, v in value.items()}
    if isinstance(value, float) and not math.isfinite(value):
        return None
    return value


def _check_date(text, what):
    try:
        return datetime.date.fromisoformat(text).isoformat()
    except ValueError:
        raise RunError("%s %r is not a date (YYYY-MM-DD)" % (what, text)) from None


class Runner:
    def __init__(self, config, bundle, feed, journal, parameters):
        self.config = config
        self.bundle = bundle
        self.feed = feed
        self.journal = journal
        start = _check_date(config.start, "start date")
        end = _check_date(config.end, "end date")
        if start > end:
            raise RunError("start date %s is after end date %s" % (start, end))
        self.days = bundle.dates_between(start, end)
        if not self.days:
            raise RunError("the bundle has no trading day between %s and %s" % (start, end))
        benchmark = bundle.instrument(config.benchmark)
        if benchmark is None:
            raise RunError("benchmark %r is not in the bundle" % config.benchmark)

        self.market = Market(bundle, start)
        journal.clock = self.market.now_text
        self.accounts = {}
        if config.stock_cash is not None:
            self.accounts["STOCK"] = StockAccount(config.stock_cash)
        if config.future_cash is not None:
            self.accounts["FUTURE"] = FutureAccount(config.future_cash)
        self.trades = []
        self.portfolio_log = []
        self.broker = Broker(bundle, self.market, self.accounts, journal, self._on_trade,
                             matching=config.matching, slippage=config.slippage,
                             commission_multiplier=config.commission_multiplier,
                             margin_multiplier=config.margin_multiplier, short_stock=config.short_stock)
        self._take_initial_positions(config.positions)

        self.units = self._total("total_value")
        if self.units <= 0:
            raise RunError("the starting value of the accounts must be positive")
        self.static_total = self.units
        self.starting_cash = (config.stock_cash or 0.0) + (config.future_cash or 0.0)
        self.benchmark_base = None
        self.benchmark_unv = 1.0
        self.risk = RiskTracker()
        self.last_risk = None
        self.api = StrategyAPI(self, config.strategy_file, parameters)

    def _total(self, attr):
        return sum(getattr(a, attr) for a in self.accounts.values())

    def _take_initial_positions(self, positions):
        for oid, qty in positions:
            instrument = self.bundle.instrument(oid)
            if instrument is None or not instrument.tradable:
                raise RunError("initial position: %r is not a tradable instrument of the bundle" % (oid,))
            account = self.broker.account_of(instrument)
            if account is None:
                if instrument.type == "Future":
                    raise RunError("initial position in %s needs --account future AMOUNT" % oid)
                account = self.accounts["STOCK"] = StockAccount(0.0)
            # Taken over at the last close before the start (or the first open
            # for an instrument that starts trading within the run).
            price = self.market.price(oid)
            if price is None:
                first = self.bundle.bars[oid].count_through(self.days[0], inclusive=False)
                if first >= len(self.bundle.bars[oid].dates) or self.bundle.bars[oid].dates[first] > self.days[-1]:
                    raise RunError("initial position: %s has no price in the backtest period" % oid)
                price = self.bundle.bars[oid].columns["open"][first]
            pos = self.broker.open_position(account, instrument)
            pos.last_price = price
            pos.apply(qty, price, 0.0)
            if pos.quantity == 0:
                account.positions.pop(oid)

    # -- the loop ------------------------------------------------------------

    def run(self):
        api, market = self.api, self.market
        api.load()
        if self.api.parameters.undeclared():
            self.journal.write(30, "parameters given but not declared by the strategy: %s"
                               % ", ".join(self.api.parameters.undeclared()))
        api.call("init")
        for n, day in enumerate(self.days, 1):
            for account in self.accounts.values():
                account.day_transaction_cost = 0.0
            market.set_clock(day, 9, 0, "before_trading")
            api.call("before_trading")
            if self.config.matching == "next_bar":
                market.set_clock(day, 9, 30, "open")
                self.broker.match_open()
            market.set_clock(day, 15, 0, "handle_bar")
            market.take_closes()
            for account in self.accounts.values():
                account.mark(market)
            api.call("handle_bar", BarDict(self.bundle, day, market.now))
            market.phase = "after_trading"
            api.call("after_trading")
            for account in self.accounts.values():
                account.mark(market)
                account.settle()
            self._report_day(n, day)
        unfilled = self.broker.cancel_pending()
        if unfilled:
            self.journal.write(20, "%d order(s) placed on the last day were not filled" % unfilled)
        self.journal.write(20, "backtest finished: %d trading days, total returns %.4f%%"
                           % (len(self.days), (self._total("total_value") / self.units - 1) * 100))

    def _on_trade(self, trade):
        self.trades.append(trade)
        self.feed.add("trade_feeds", trade["datetime"], [
            trade["order_book_id"], trade["order_id"], trade["side"], trade["position_effect"],
            trade["exec_id"], trade["transaction_cost"], trade["last_quantity"], trade["last_price"],
            trade["commission"], trade["tax"]])

    def _benchmark_day(self, day):
        oid = self.config.benchmark
        if self.benchmark_base is None:
            self.benchmark_base = self.market.bar_value(oid, "open")
        if self.benchmark_base:
            self.benchmark_unv = self.market.price(oid) / self.benchmark_base
        return self.benchmark_unv

    def _report_day(self, n, day):
        when = self.market.now_text()
        total = self._total("total_value")
        unv = total / self.units
        static_unv = self.static_total / self.units
        daily = total / self.static_total - 1 if self.static_total else None
        self.static_total = total
        row = [0, self._total("cash"), total, self._total("market_value"), unv, self.units, static_unv,
               unv - 1, annualized(unv, n), total, daily, self.starting_cash]
        self.feed.add("portfolio_feeds", when, row)

        prev_b = self.benchmark_unv
        unv_b = self._benchmark_day(day)
        total_b = unv_b * self.units
        daily_b = unv_b / prev_b - 1
        self.feed.add("portfolio_feeds", when, [
            1, 0.0, total_b, total_b, unv_b, self.units, prev_b, unv_b - 1, annualized(unv_b, n),
            total_b, daily_b, self.starting_cash])
        self.portfolio_log.append((when, row, unv_b))

        for account in self.accounts.values():
            for oid in sorted(account.positions):
                self.feed.add("position_feeds", when, self._position_row(account.positions[oid]))
        for account in self.accounts.values():
            self.feed.add("account_feeds", when, [
                account.type, account.cash, account.day_transaction_cost, account.market_value,
                account.total_value, account.margin])
        self.last_risk = self.risk.update(daily or 0.0, daily_b, unv, unv_b)
        self.feed.add("risk_feeds", when, self.last_risk)

    @staticmethod
    def _position_row(p):
        q, mv, margin, pnl = p.quantity, p.market_value, p.margin, p.pnl
        long_ = q > 0
        return [
            p.order_book_id, p.type, q, p.last_price, p.avg_price, mv, margin,
            pnl if long_ else 0.0, margin if long_ else 0.0, q if long_ else 0,
            p.avg_price if long_ else 0.0,
            0.0 if long_ else pnl, 0.0 if long_ else margin, 0 if long_ else -q,
            0.0 if long_ else p.avg_price,
            mv if long_ else 0.0, 0.0 if long_ else mv,
            pnl, p.transaction_cost, p.buy_transaction_cost, p.sell_transaction_cost,
        ]

    # -- the report directory ------------------------------------------------

    def write_report(self, directory):
        os.makedirs(directory, exist_ok=True)
        names = ("alpha", "beta", "sharpe", "sortino", "information_ratio", "volatility",
                 "max_drawdown", "tracking_error", "downside_risk")
        last_when, last_row, last_unv_b = self.portfolio_log[-1]
        summary = {
            "start_date": self.days[0],
            "end_date": self.days[-1],
            "trading_days": len(self.days),
            "frequency": self.config.frequency,
            "benchmark": self.config.benchmark,
            "matching_type": self.config.matching,
            "starting_cash": self.starting_cash,
            "starting_value": self.units,
            "total_value": last_row[2],
            "unit_net_value": last_row[4],
            "total_returns": last_row[7],
            "annualized_returns": last_row[8],
            "benchmark_total_returns": last_unv_b - 1,
            "trades": len(self.trades),
            "risk": dict(zip(names, self.last_risk)),
        }
        with open(os.path.join(directory, "summary.json"), "w", encoding="utf-8") as f:
            json.dump(_finite(summary), f, indent=2, ensure_ascii=False, allow_nan=False)
            f.write("\n")
        trade_fields = ("datetime", "order_book_id", "order_id", "side", "position_effect", "exec_id",
                        "last_quantity", "last_price", "commission", "tax", "transaction_cost")
        with open(os.path.join(directory, "trades.csv"), "w", encoding="utf-8", newline="") as f:
            writer = csv.DictWriter(f, trade_fields, extrasaction="ignore")
            writer.writeheader()
            writer.writerows(self.trades)
        with open(os.path.join(directory, "portfolio.csv"), "w", encoding="utf-8", newline="") as f:
            writer = csv.writer(f)
            writer.writerow(("datetime", "cash", "total_value", "market_value", "unit_net_value",
                             "daily_returns", "total_returns", "benchmark_unit_net_value"))
            for when, row, unv_b in self.portfolio_log:
                writer.writerow((when, row[1], row[2], row[3], row[4], row[10], row[7], unv_b))
