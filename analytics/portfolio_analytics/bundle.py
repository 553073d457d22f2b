"""Read-only access to a market-data bundle directory.

Files are parsed on first use and re-parsed when their size or modification time changes, so a
service started before the bundle was (re)generated picks the new data up without a restart.
"""

import bisect
import csv
import datetime as dt
import math
import os
import re
import threading
from dataclasses import dataclass

# Identifiers become file names under bars/, so anything that could climb out of it is refused.
_SAFE_ID = re.compile(r"^[A-Za-z0-9][A-Za-z0-9._-]*$")


class BundleError(Exception):
    """The bundle is missing a file or holds something unreadable."""


@dataclass(frozen=True)
class Instrument:
    order_book_id: str
    symbol: str
    type: str
    sector: str
    listed_date: dt.date | None
    is_st: bool


class Bars:
    """Daily closes of one instrument, ascending by day."""

    def __init__(self, days, closes):
        self.days = days
        self.closes = closes

    @property
    def first_day(self):
        return self.days[0]

    @property
    def last_day(self):
        return self.days[-1]

    def close_asof(self, day):
        """Close of the last trading day on or before `day`; None before the first bar."""
        i = bisect.bisect_right(self.days, day)
        return self.closes[i - 1] if i else None

    def points(self):
        return list(zip(self.days, self.closes))


def _parse_day(text):
    try:
        return dt.date.fromisoformat(text.strip()[:10])
    except ValueError:
        return None


def _parse_float(text):
    try:
        value = float(text)
    except (TypeError, ValueError):
        return None
    return value if math.isfinite(value) else None


def _read_rows(path):
    try:
        with open(path, newline="", encoding="utf-8-sig") as f:
            reader = csv.DictReader(f)
            fields = [name.strip() for name in (reader.fieldnames or [])]
            reader.fieldnames = fields
            rows = [{k: (v or "").strip() for k, v in row.items() if k is not None} for row in reader]
    except FileNotFoundError:
        raise BundleError(f"bundle file missing: {path}") from None
    except (OSError, UnicodeDecodeError, csv.Error) as exc:
        raise BundleError(f"cannot read {path}: {exc}") from None
    return fields, rows


def _require(fields, needed, path):
    missing = [name for name in needed if name not in fields]
    if missing:
        raise BundleError(f"{path} lacks column(s) {', '.join(missing)}")


def _parse_instruments(path):
    fields, rows = _read_rows(path)
    _require(fields, ("order_book_id", "symbol", "type"), path)
    out = {}
    for row in rows:
        oid = row["order_book_id"]
        if not oid:
            continue
        out[oid] = Instrument(
            order_book_id=oid,
            symbol=row.get("symbol", ""),
            type=row.get("type", ""),
            sector=row.get("sector", ""),
            listed_date=_parse_day(row.get("listed_date", "")),
            is_st=row.get("is_st", "0") not in ("", "0", "false", "False"),
        )
    return out


def _parse_bars(path):
    fields, rows = _read_rows(path)
    _require(fields, ("date", "close"), path)
    by_day = {}
    for row in rows:
        day = _parse_day(row["date"])
        close = _parse_float(row["close"])
        # A non-positive close cannot anchor a return; such a row is treated as no bar at all.
        if day is not None and close is not None and close > 0:
            by_day[day] = close
    if not by_day:
        return None
    days = sorted(by_day)
    return Bars(days, [by_day[d] for d in days])


def _parse_benchmark_weights(path):
    fields, rows = _read_rows(path)
    _require(fields, ("benchmark", "order_book_id", "weight"), path)
    out = {}
    for row in rows:
        weight = _parse_float(row["weight"])
        if not row["benchmark"] or not row["order_book_id"] or weight is None:
            continue
        members = out.setdefault(row["benchmark"], {})
        members[row["order_book_id"]] = members.get(row["order_book_id"], 0.0) + weight
    return out


def _parse_factors(path):
    fields, rows = _read_rows(path)
    _require(fields, ("order_book_id",), path)
    names = [name for name in fields if name and name != "order_book_id"]
    table = {}
    for row in rows:
        if not row["order_book_id"]:
            continue
        table[row["order_book_id"]] = {name: _parse_float(row.get(name, "")) for name in names}
    return names, table


class Bundle:
    def __init__(self, root):
        self.root = os.path.abspath(root)
        self._lock = threading.Lock()
        self._cache = {}

    def _load(self, path, parser):
        try:
            st = os.stat(path)
        except FileNotFoundError:
            raise BundleError(f"bundle file missing: {path}") from None
        except OSError as exc:
            raise BundleError(f"cannot read {path}: {exc}") from None
        stamp = (st.st_mtime_ns, st.st_size)
        with self._lock:
            hit = self._cache.get(path)
        if hit is not None and hit[0] == stamp:
            return hit[1]
        # Parsed outside the lock: two threads may parse the same file once each, which is harmless.
        value = parser(path)
        with self._lock:
            self._cache[path] = (stamp, value)
        return value

    def instruments(self):
        return self._load(os.path.join(self.root, "instruments.csv"), _parse_instruments)

    def benchmark_weights(self):
        return self._load(os.path.join(self.root, "benchmark_weights.csv"), _parse_benchmark_weights)

    def factors(self):
        """(factor names in file order, {order_book_id: {factor: value or None}})."""
        return self._load(os.path.join(self.root, "factors.csv"), _parse_factors)

    def bars(self, order_book_id):
        """Bars of the instrument, or None when the bundle has no usable bars for it."""
        if not isinstance(order_book_id, str) or not _SAFE_ID.match(order_book_id):
            return None
        path = os.path.join(self.root, "bars", order_book_id + ".csv")
        if not os.path.isfile(path):
            return None
        return self._load(path, _parse_bars)

    def stocks(self):
        return {oid: ins for oid, ins in self.instruments().items() if ins.type == "CS"}
