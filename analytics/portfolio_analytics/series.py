"""Request validation helpers, value series alignment and return statistics."""

import bisect
import datetime as dt
import math

PERIODS_PER_YEAR = 252
RISK_FREE_RATE = 0.0  # annual; the stand-in has no rate curve


class RequestError(Exception):
    """The request is malformed or cannot be answered from the data; the text goes back as "error"."""


# ---- request field access -------------------------------------------------------------------

def field(obj, key, where, kinds, *, required=True):
    """obj[key] checked against `kinds`; an optional key that is absent or null gives None."""
    if not isinstance(obj, dict):
        raise RequestError(f"{where} must be an object")
    if key not in obj:
        if required:
            raise RequestError(f"missing key {where}.{key}" if where != "request" else f"missing key {key!r}")
        return None
    value = obj[key]
    if value is None:
        if not required:
            return None
        raise RequestError(f"{_name(where, key)} must not be null")
    if not isinstance(value, kinds) or (isinstance(value, bool) and bool not in _as_tuple(kinds)):
        raise RequestError(f"{_name(where, key)} must be {_kind_text(kinds)}")
    return value


def number(obj, key, where, *, required=True):
    value = field(obj, key, where, (int, float), required=required)
    if value is None:
        return None
    try:
        value = float(value)
    except OverflowError:
        value = math.inf
    if not math.isfinite(value):
        raise RequestError(f"{_name(where, key)} must be a finite number")
    return value


def _name(where, key):
    return key if where == "request" else f"{where}.{key}"


def _as_tuple(kinds):
    return kinds if isinstance(kinds, tuple) else (kinds,)


def _kind_text(kinds):
    names = {str: "a string", int: "a number", float: "a number", list: "a list", dict: "an object"}
    return " or ".join(dict.fromkeys(names.get(k, k.__name__) for k in _as_tuple(kinds)))


def parse_timestamp(text, where):
    """Accepts YYYY-MM-DD and YYYY-MM-DD HH:MM:SS (or the ISO T form)."""
    try:
        stamp = dt.datetime.fromisoformat(text.strip())
    except ValueError:
        raise RequestError(f"{where} is not a date or timestamp: {text!r}") from None
    return stamp.replace(tzinfo=None)


def value_series(rows, where, value_key="unit_net_value"):
    """[(day, value)] ascending, one point per day.

    Intraday feeds carry several stamps per day; the last one of each day stands for the day,
    since every figure downstream is a daily one.
    """
    if not isinstance(rows, list):
        raise RequestError(f"{where} must be a list")
    if not rows:
        raise RequestError(f"{where} is empty")
    stamped = []
    for i, row in enumerate(rows):
        at = f"{where}[{i}]"
        text = field(row, "datetime", at, str)
        value = number(row, value_key, at)
        if value <= 0:
            raise RequestError(f"{at}.{value_key} must be positive, got {value}")
        stamped.append((parse_timestamp(text, f"{at}.datetime"), value))
    stamped.sort(key=lambda p: p[0])
    by_day = {}
    for stamp, value in stamped:
        by_day[stamp.date()] = value
    return sorted(by_day.items())


# ---- alignment ------------------------------------------------------------------------------

def asof(points, day):
    """Value of the last point on or before `day`; None before the first point."""
    i = bisect.bisect_right(points, (day, math.inf))
    return points[i - 1][1] if i else None


def align(portfolio, reference):
    """Portfolio points paired with the reference level in force on each portfolio day.

    A reference without a value on a portfolio day (holiday, suspension) carries its previous
    value forward; portfolio days outside the reference's own range are dropped, because there
    a carried value would be invented data rather than a stale one.
    """
    if not reference:
        return [], [], []
    first, last = reference[0][0], reference[-1][0]
    days, p_levels, r_levels = [], [], []
    for day, value in portfolio:
        if day < first or day > last:
            continue
        days.append(day)
        p_levels.append(value)
        r_levels.append(asof(reference, day))
    return days, p_levels, r_levels


def need_points(days, count, what):
    if len(days) < count:
        raise RequestError(f"{what}: need at least {count} dates, have {len(days)}")


# ---- statistics -----------------------------------------------------------------------------

def simple_returns(levels):
    return [levels[i] / levels[i - 1] - 1.0 for i in range(1, len(levels))]


def cumulative(levels):
    base = levels[0]
    return [v / base - 1.0 for v in levels]


def mean(xs):
    return math.fsum(xs) / len(xs) if xs else None


def stdev(xs):
    """Sample standard deviation; None below two observations."""
    if len(xs) < 2:
        return None
    m = mean(xs)
    return math.sqrt(math.fsum((x - m) ** 2 for x in xs) / (len(xs) - 1))


def covariance(xs, ys):
    if len(xs) < 2:
        return None
    mx, my = mean(xs), mean(ys)
    return math.fsum((x - mx) * (y - my) for x, y in zip(xs, ys)) / (len(xs) - 1)


def ratio(num, den):
    if num is None or den is None or den == 0 or not math.isfinite(den):
        return None
    value = num / den
    return value if math.isfinite(value) else None


def annualise_total(total, periods):
    """Geometric annualisation of a total return over `periods` daily returns."""
    if total is None or periods <= 0 or 1.0 + total <= 0:
        return None
    try:
        return (1.0 + total) ** (PERIODS_PER_YEAR / periods) - 1.0
    except OverflowError:
        return None


def max_drawdown(days, levels):
    """(depth as a positive fraction, peak day, trough day, recovery day or None)."""
    peak_i = 0
    best = (0.0, None, None)
    for i, value in enumerate(levels):
        if value > levels[peak_i]:
            peak_i = i
        depth = 1.0 - value / levels[peak_i]
        if depth > best[0]:
            best = (depth, peak_i, i)
    depth, peak_i, trough_i = best
    if peak_i is None:
        return 0.0, None, None, None
    recovery = None
    for j in range(trough_i + 1, len(levels)):
        if levels[j] >= levels[peak_i]:
            recovery = days[j]
            break
    return depth, days[peak_i], days[trough_i], recovery


def iso(day):
    return day.isoformat() if day is not None else None
