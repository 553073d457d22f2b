"""Read-only access to a daily-bar bundle directory."""

import bisect
import csv
import os
from dataclasses import dataclass

FIELDS = ("open", "high", "low", "close", "volume")


class BundleError(Exception):
    pass


@dataclass(frozen=True)
class Instrument:
    order_book_id: str
    symbol: str
    type: str              # "CS", "INDX" or "Future"
    sector: str
    listed_date: str
    is_st: bool
    multiplier: float = 1.0
    margin_rate: float = 1.0

    @property
    def tradable(self):
        return self.type in ("CS", "Future")


class Bars:
    """Daily bars of one instrument, column-wise; dates are 'YYYY-MM-DD' texts."""

    __slots__ = ("dates", "columns", "_pos")

    def __init__(self, dates, columns):
        self.dates = dates
        self.columns = columns
        self._pos = {d: i for i, d in enumerate(dates)}

    def index_of(self, day):
        return self._pos.get(day)

    def count_through(self, day, inclusive=True):
        """Number of bars dated on or before day (before day when not inclusive)."""
        return (bisect.bisect_right if inclusive else bisect.bisect_left)(self.dates, day)


def _read_csv(path, required):
    try:
        with open(path, encoding="utf-8-sig", newline="") as f:
            reader = csv.DictReader(f)
            missing = [c for c in required if c not in (reader.fieldnames or ())]
            if missing:
                raise BundleError("%s: missing column(s) %s" % (path, ", ".join(missing)))
            return list(reader)
    except OSError as exc:
        raise BundleError("cannot read %s: %s" % (path, exc.strerror or exc)) from None


class Bundle:
    def __init__(self, path):
        if not os.path.isdir(path):
            raise BundleError("bundle directory %s does not exist" % path)
        self.path = path
        futures = {r["order_book_id"]: r for r in _read_csv(
            os.path.join(path, "futures.csv"), ("order_book_id", "multiplier", "margin_rate"))}
        self.instruments = {}
        self.bars = {}
        rows = _read_csv(os.path.join(path, "instruments.csv"),
                         ("order_book_id", "symbol", "type", "sector", "listed_date", "is_st"))
        for row in rows:
            oid = row["order_book_id"]
            extra = {}
            if row["type"] == "Future":
                if oid not in futures:
                    raise BundleError("futures.csv has no row for %s" % oid)
                extra = {"multiplier": float(futures[oid]["multiplier"]),
                         "margin_rate": float(futures[oid]["margin_rate"])}
            self.instruments[oid] = Instrument(oid, row["symbol"], row["type"], row["sector"],
                                               row["listed_date"], row["is_st"].strip() == "1", **extra)
            self.bars[oid] = self._load_bars(oid)
        days = set()
        for bars in self.bars.values():
            days.update(bars.dates)
        self.trading_dates = sorted(days)

    def _load_bars(self, oid):
        path = os.path.join(self.path, "bars", oid + ".csv")
        rows = _read_csv(path, ("date",) + FIELDS)
        try:
            columns = {f: [float(r[f]) for r in rows] for f in FIELDS}
        except ValueError as exc:
            raise BundleError("%s: %s" % (path, exc)) from None
        return Bars([r["date"] for r in rows], columns)

    def instrument(self, oid):
        return self.instruments.get(oid)

    def bar_index(self, oid, day):
        bars = self.bars.get(oid)
        return None if bars is None else bars.index_of(day)

    def dates_between(self, start, end):
        lo = bisect.bisect_left(self.trading_dates, start)
        hi = bisect.bisect_right(self.trading_dates, end)
        return self.trading_dates[lo:hi]

    def close_before(self, oid, day):
        """The last close strictly before day, or None."""
        bars = self.bars[oid]
        n = bars.count_through(day, inclusive=False)
        return bars.columns["close"][n - 1] if n else None
