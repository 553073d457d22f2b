"""The service's operations: one function per "cmd", each taking the parsed request and the bundle."""

import math
import sys
import traceback

from .bundle import BundleError
from .framing import decode_body
from .regression import ols
from .series import (
    PERIODS_PER_YEAR,
    RISK_FREE_RATE,
    RequestError,
    align,
    annualise_total,
    covariance,
    cumulative,
    field,
    iso,
    max_drawdown,
    mean,
    need_points,
    number,
    parse_timestamp,
    ratio,
    simple_returns,
    stdev,
    value_series,
)

MARKET_INDEX = "000300.XSHG"
STYLE_FACTORS = ("size", "value", "momentum")
SECTOR_CLASSIFICATIONS = ("ShenWan",)
CASH_BUCKET = "cash"
OTHER_BUCKET = "other"
NEW_STOCK_DAYS = 365
_MAX_WARNINGS = 20

# Below this a daily dispersion is rounding noise, not risk; dividing by it would report
# astronomically large ratios for a flat or perfectly tracking portfolio.
_TINY_STD = 1e-12
_SQRT_YEAR = math.sqrt(PERIODS_PER_YEAR)


def _annual_std(xs):
    s = stdev(xs)
    return None if s is None or s <= _TINY_STD else s * _SQRT_YEAR


def _bundle_closes(bundle, order_book_id):
    bars = bundle.bars(order_book_id)
    if bars is None:
        raise RequestError(f"no bars for {order_book_id!r} in the bundle")
    return bars.points()


def _aligned(portfolio, reference, reference_name):
    days, p, r = align(portfolio, reference)
    if not days:
        raise RequestError(
            f"the portfolio's dates {portfolio[0][0]}..{portfolio[-1][0]} do not overlap "
            f"{reference_name}'s {reference[0][0]}..{reference[-1][0]}"
        )
    return days, p, r


def _optional_text(request, key):
    value = field(request, key, "request", str, required=False)
    return value or None


# ---- get_id_symbol_map ----------------------------------------------------------------------

def get_id_symbol_map(request, bundle):
    return {oid: ins.symbol for oid, ins in sorted(bundle.stocks().items())}


# ---- pnl_analysis ---------------------------------------------------------------------------

def pnl_analysis(request, bundle):
    portfolio = value_series(field(request, "portfolio_series", "request", list), "portfolio_series")
    benchmark = _optional_text(request, "benchmark")
    given = field(request, "benchmark_series", "request", list, required=False)
    if given:
        reference, source = value_series(given, "benchmark_series"), "series"
    else:
        # The server sends an empty series when the engine posted no benchmark rows.
        if benchmark is None:
            raise RequestError("benchmark is required when benchmark_series is null or empty")
        reference, source = _bundle_closes(bundle, benchmark), "bundle"
    days, p, b = _aligned(portfolio, reference, "the benchmark")

    p_daily = [0.0] + simple_returns(p)
    b_daily = [0.0] + simple_returns(b)
    p_cum, b_cum = cumulative(p), cumulative(b)
    return {
        "dates": [d.isoformat() for d in days],
        "portfolio": {"daily_returns": p_daily, "cumulative_returns": p_cum},
        "benchmark_pnl": {"daily_returns": b_daily, "cumulative_returns": b_cum},
        "excess": {
            "daily_returns": [x - y for x, y in zip(p_daily, b_daily)],
            "cumulative_returns": [x - y for x, y in zip(p_cum, b_cum)],
        },
        "summary": {
            "first_date": days[0].isoformat(),
            "last_date": days[-1].isoformat(),
            "observations": len(days),
            "portfolio_total_return": p_cum[-1],
            "benchmark_total_return": b_cum[-1],
            "excess_total_return": p_cum[-1] - b_cum[-1],
        },
        "benchmark_id": benchmark,
        "benchmark_source": source,
    }


# ---- risk_analysis --------------------------------------------------------------------------

def risk_analysis(request, bundle):
    benchmark = field(request, "benchmark", "request", str)
    if not benchmark:
        raise RequestError("benchmark must not be empty")
    portfolio = value_series(field(request, "portfolio", "request", list), "portfolio")
    days, p, b = _aligned(portfolio, _bundle_closes(bundle, benchmark), "the benchmark")
    need_points(days, 2, "risk_analysis")

    rp, rb = simple_returns(p), simple_returns(b)
    n = len(rp)
    rf_daily = RISK_FREE_RATE / PERIODS_PER_YEAR
    over_rf = [r - rf_daily for r in rp]

    volatility = _annual_std(rp)
    downside = math.sqrt(math.fsum(min(x, 0.0) ** 2 for x in over_rf) / n) * _SQRT_YEAR
    if downside <= _TINY_STD * _SQRT_YEAR:
        downside_for_ratio = None
    else:
        downside_for_ratio = downside

    var_b = covariance(rb, rb)
    beta = ratio(covariance(rp, rb), var_b) if var_b is not None and var_b > _TINY_STD ** 2 else None
    alpha = None
    if beta is not None:
        alpha = (mean(rp) - rf_daily - beta * (mean(rb) - rf_daily)) * PERIODS_PER_YEAR

    active = [x - y for x, y in zip(rp, rb)]
    tracking_error = _annual_std(active)

    total = p[-1] / p[0] - 1.0
    b_total = b[-1] / b[0] - 1.0
    depth, peak, trough, recovery = max_drawdown(days, p)
    b_depth = max_drawdown(days, b)[0]
    annual = annualise_total(total, n)
    b_annual = annualise_total(b_total, n)
    return {
        "first_date": days[0].isoformat(),
        "last_date": days[-1].isoformat(),
        "trading_days": n,
        "periods_per_year": PERIODS_PER_YEAR,
        "risk_free_rate": RISK_FREE_RATE,
        "total_returns": total,
        "annualized_returns": annual,
        "volatility": volatility,
        "sharpe": ratio(mean(over_rf) * PERIODS_PER_YEAR, volatility),
        "downside_risk": downside,
        "sortino": ratio(mean(over_rf) * PERIODS_PER_YEAR, downside_for_ratio),
        "max_drawdown": depth,
        "max_drawdown_start": iso(peak),
        "max_drawdown_end": iso(trough),
        "max_drawdown_recovery": iso(recovery),
        "alpha": alpha,
        "beta": beta,
        "tracking_error": tracking_error,
        "information_ratio": ratio(mean(active) * PERIODS_PER_YEAR, tracking_error),
        "excess_annualized_returns": annual - b_annual if annual is not None and b_annual is not None else None,
        "benchmark_total_returns": b_total,
        "benchmark_annualized_returns": b_annual,
        "benchmark_volatility": _annual_std(rb),
        "benchmark_max_drawdown": b_depth,
    }


# ---- sensitivity_analysis -------------------------------------------------------------------

def _basket_return(bundle, members, d0, d1):
    """Equal-weighted return of the members priced on both days; 0 when none is."""
    returns = []
    for oid in members:
        bars = bundle.bars(oid)
        c0, c1 = bars.close_asof(d0), bars.close_asof(d1)
        if c0 is not None and c1 is not None:
            returns.append(c1 / c0 - 1.0)
    return mean(returns) if returns else 0.0


def style_baskets(bundle):
    """{factor: (long ids, short ids)}: the top and bottom third of the stocks by exposure."""
    names, table = bundle.factors()
    universe = [oid for oid in sorted(bundle.stocks()) if oid in table and bundle.bars(oid) is not None]
    baskets = {}
    for factor in STYLE_FACTORS:
        if factor not in names:
            continue
        ranked = sorted((table[oid][factor], oid) for oid in universe if table[oid][factor] is not None)
        if len(ranked) < 2:
            continue
        k = max(1, len(ranked) // 3)
        baskets[factor] = ([oid for _, oid in ranked[-k:]], [oid for _, oid in ranked[:k]])
    return baskets


def sensitivity_analysis(request, bundle):
    portfolio = value_series(field(request, "portfolio", "request", list), "portfolio")
    days, p, m = _aligned(portfolio, _bundle_closes(bundle, MARKET_INDEX), MARKET_INDEX)
    baskets = style_baskets(bundle)

    regressors = [("market", simple_returns(m))]
    periods = list(zip(days, days[1:]))
    for factor, (long, short) in baskets.items():
        regressors.append(
            (factor, [_basket_return(bundle, long, d0, d1) - _basket_return(bundle, short, d0, d1) for d0, d1 in periods])
        )
    y = simple_returns(p)
    if len(y) <= len(regressors) + 1:
        raise RequestError(
            f"sensitivity_analysis: {len(regressors) + 1} coefficients need at least "
            f"{len(regressors) + 3} dates, have {len(days)}"
        )
    fit = ols(y, regressors)
    residual_vol = None
    if fit["dof"] > 0:
        residual_vol = math.sqrt(math.fsum(e * e for e in fit["residuals"]) / fit["dof"]) * _SQRT_YEAR
    return {
        "market": MARKET_INDEX,
        "first_date": days[0].isoformat(),
        "last_date": days[-1].isoformat(),
        "observations": len(y),
        "regressors": [name for name in fit["names"] if name != "intercept"],
        "dropped_regressors": fit["dropped"],
        "coefficients": fit["coefficients"],
        "std_errors": fit["std_errors"],
        "t_stats": fit["t_stats"],
        "r_squared": fit["r_squared"],
        "adjusted_r_squared": fit["adjusted_r_squared"],
        "alpha_annualized": fit["coefficients"].get("intercept", 0.0) * PERIODS_PER_YEAR,
        "residual_volatility": residual_vol,
        "factor_baskets": {f: {"long": lo, "short": sh} for f, (lo, sh) in baskets.items()},
    }


# ---- single_exposure_analysis ---------------------------------------------------------------

def _weighted_exposure(weights, names, table):
    return {
        f: math.fsum(w * table[oid][f] for oid, w in weights.items() if oid in table and table[oid][f] is not None)
        for f in names
    }


def single_exposure_analysis(request, bundle):
    portfolio = field(request, "portfolio", "request", dict)
    positions = field(portfolio, "positions", "portfolio", list)
    day = parse_timestamp(field(request, "date", "request", str), "date").date()
    benchmark = _optional_text(request, "benchmark")

    values = {}
    for i, pos in enumerate(positions):
        at = f"portfolio.positions[{i}]"
        oid = field(pos, "order_book_id", at, str)
        values[oid] = values.get(oid, 0.0) + number(pos, "market_value", at)
    # Gross value as the base keeps weights bounded when shorts offset longs.
    gross = math.fsum(abs(v) for v in values.values())
    weights = {oid: (v / gross if gross > 0 else 0.0) for oid, v in values.items()}

    names, table = bundle.factors()
    instruments = bundle.instruments()
    stock_info = {oid: instruments.get(oid) for oid in weights}
    stock_info = {oid: ins for oid, ins in stock_info.items() if ins is not None and ins.type == "CS"}

    answer = {
        "date": day.isoformat(),
        "factors": list(names),
        "portfolio_exposure": _weighted_exposure(weights, names, table),
        "benchmark_exposure": None,
        "active_exposure": None,
        "st_stock_weight": math.fsum(weights[oid] for oid, ins in stock_info.items() if ins.is_st),
        "new_stock_weight": math.fsum(
            weights[oid]
            for oid, ins in stock_info.items()
            if ins.listed_date is not None and (day - ins.listed_date).days < NEW_STOCK_DAYS
        ),
        "weights": weights,
        "uncovered_weight": math.fsum(w for oid, w in weights.items() if oid not in table),
        "warnings": [],
    }
    if benchmark is not None:
        members = bundle.benchmark_weights().get(benchmark)
        if members is None and benchmark in bundle.stocks():
            members = {benchmark: 1.0}
        if members is None:
            answer["warnings"].append(f"no constituent weights for benchmark {benchmark!r} in the bundle")
        else:
            bench = _weighted_exposure(members, names, table)
            answer["benchmark_exposure"] = bench
            answer["active_exposure"] = {f: answer["portfolio_exposure"][f] - bench[f] for f in names}
    return answer


# ---- brinson_analysis -----------------------------------------------------------------------

class _Snapshot:
    __slots__ = ("day", "cash", "positions")

    def __init__(self, day, cash, positions):
        self.day = day
        self.cash = cash
        self.positions = positions  # {order_book_id: [quantity, market_value]}


def _snapshots(rows):
    if not isinstance(rows, list):
        raise RequestError("portfolio_series must be a list")
    by_day = {}
    for i, row in enumerate(rows):
        at = f"portfolio_series[{i}]"
        text = field(row, "date", at, str, required=False) or field(row, "datetime", at, str, required=False)
        if text is None:
            raise RequestError(f"missing key {at}.date")
        day = parse_timestamp(text, f"{at}.date").date()
        cash = number(row, "cash", at)
        positions = {}
        for j, pos in enumerate(field(row, "positions", at, list)):
            pat = f"{at}.positions[{j}]"
            oid = field(pos, "order_book_id", pat, str)
            held = positions.setdefault(oid, [0.0, 0.0])
            held[0] += number(pos, "quantity", pat)
            held[1] += number(pos, "market_value", pat)
        # Several stamps per day (intraday feeds): the day's last one stands for the day.
        by_day[day] = _Snapshot(day, cash, positions)
    if len(by_day) < 2:
        raise RequestError(f"portfolio_series: need at least 2 dates, have {len(by_day)}")
    return [by_day[d] for d in sorted(by_day)]


def _bars_return(bundle, oid, d0, d1):
    bars = bundle.bars(oid)
    if bars is None:
        return None
    c0, c1 = bars.close_asof(d0), bars.close_asof(d1)
    return c1 / c0 - 1.0 if c0 is not None and c1 is not None else None


def _brinson_period(bundle, sector_of, constituents, snap0, snap1, warnings):
    d0, d1 = snap0.day, snap1.day
    span = f"{d0}..{d1}"
    total = snap0.cash + math.fsum(mv for _, mv in snap0.positions.values())
    if total <= 0:
        warnings.append(f"{span}: skipped, the portfolio's value at the start is not positive")
        return None

    p_mv, p_gain = {}, {}
    for oid, held in snap0.positions.items():
        later = snap1.positions.get(oid)
        q0, mv0 = held
        # Prices implied by the feed itself are immune to trading during the period; the bars
        # are the fallback for a holding that was closed by the end of it.
        if later is not None and q0 and later[0] and mv0 / q0 > 0 and later[1] / later[0] > 0:
            r = (later[1] / later[0]) / (mv0 / q0) - 1.0
        else:
            r = _bars_return(bundle, oid, d0, d1)
        if r is None:
            warnings.append(f"{span}: no price for {oid}, its return is taken as 0")
            r = 0.0
        bucket = sector_of(oid)
        p_mv[bucket] = p_mv.get(bucket, 0.0) + mv0
        p_gain[bucket] = p_gain.get(bucket, 0.0) + mv0 * r
    p_w = {s: mv / total for s, mv in p_mv.items()}
    p_r = {s: (p_gain[s] / mv if mv != 0 else None) for s, mv in p_mv.items()}
    p_w[CASH_BUCKET] = snap0.cash / total
    p_r[CASH_BUCKET] = 0.0

    priced = {}
    for oid, w in constituents.items():
        r = _bars_return(bundle, oid, d0, d1)
        if r is not None:
            priced[oid] = (w, r)
    weight_sum = math.fsum(w for w, _ in priced.values())
    if weight_sum <= 0:
        warnings.append(f"{span}: skipped, no benchmark constituent is priced on both days")
        return None
    if len(priced) < len(constituents):
        warnings.append(f"{span}: {len(constituents) - len(priced)} benchmark constituent(s) unpriced, weights rescaled")
    b_w, b_gain = {}, {}
    for oid, (w, r) in priced.items():
        bucket = sector_of(oid)
        b_w[bucket] = b_w.get(bucket, 0.0) + w / weight_sum
        b_gain[bucket] = b_gain.get(bucket, 0.0) + w / weight_sum * r
    b_r = {s: b_gain[s] / w for s, w in b_w.items() if w != 0}
    rb_total = math.fsum(b_w[s] * r for s, r in b_r.items())

    sectors = {}
    sums = {"allocation": [], "selection": [], "interaction": [], "portfolio": []}
    for s in sorted(set(p_w) | set(b_w)):
        wp, wb = p_w.get(s, 0.0), b_w.get(s, 0.0)
        # A bucket the benchmark does not hold is measured against the whole benchmark, so it
        # carries no allocation effect; cash earns nothing whoever holds it.
        if s in b_r:
            rb = b_r[s]
        else:
            rb = 0.0 if s == CASH_BUCKET else rb_total
        rp = p_r.get(s)
        if rp is None:
            rp = rb
        alloc, sel, inter = (wp - wb) * (rb - rb_total), wb * (rp - rb), (wp - wb) * (rp - rb)
        sectors[s] = {
            "portfolio_weight": wp,
            "benchmark_weight": wb,
            "portfolio_return": rp,
            "benchmark_return": rb,
            "allocation": alloc,
            "selection": sel,
            "interaction": inter,
        }
        sums["allocation"].append(alloc)
        sums["selection"].append(sel)
        sums["interaction"].append(inter)
        sums["portfolio"].append(wp * rp)
    rp_total = math.fsum(sums["portfolio"])
    return {
        "start_date": d0.isoformat(),
        "end_date": d1.isoformat(),
        "portfolio_return": rp_total,
        "benchmark_return": rb_total,
        "active_return": rp_total - rb_total,
        "allocation": math.fsum(sums["allocation"]),
        "selection": math.fsum(sums["selection"]),
        "interaction": math.fsum(sums["interaction"]),
        "sectors": sectors,
    }


def brinson_analysis(request, bundle):
    benchmark = field(request, "benchmark", "request", str)
    decider = field(request, "sector_decider", "request", str, required=False) or "ShenWan"
    if decider not in SECTOR_CLASSIFICATIONS:
        raise RequestError(f"unsupported sector_decider {decider!r}; supported: {', '.join(SECTOR_CLASSIFICATIONS)}")
    snapshots = _snapshots(field(request, "portfolio_series", "request", list))

    instruments = bundle.instruments()
    constituents = bundle.benchmark_weights().get(benchmark)
    if constituents is None and benchmark in bundle.stocks():
        constituents = {benchmark: 1.0}
    if not constituents:
        raise RequestError(f"no constituent weights for benchmark {benchmark!r} in the bundle")

    def sector_of(oid):
        ins = instruments.get(oid)
        return ins.sector if ins is not None and ins.type == "CS" and ins.sector else OTHER_BUCKET

    warnings, periods = [], []
    for snap0, snap1 in zip(snapshots, snapshots[1:]):
        period = _brinson_period(bundle, sector_of, constituents, snap0, snap1, warnings)
        if period is not None:
            periods.append(period)
    if not periods:
        raise RequestError("brinson_analysis: no period could be attributed; " + "; ".join(warnings[:_MAX_WARNINGS]))
    if len(warnings) > _MAX_WARNINGS:
        # A gap in the data repeats once per period; the first few say what it is.
        warnings = warnings[:_MAX_WARNINGS] + [f"... and {len(warnings) - _MAX_WARNINGS} more"]

    effects = ("allocation", "selection", "interaction")
    by_sector = {}
    for period in periods:
        for s, row in period["sectors"].items():
            acc = by_sector.setdefault(s, {e: [] for e in effects})
            for e in effects:
                acc[e].append(row[e])
    by_sector = {s: {e: math.fsum(v[e]) for e in effects} for s, v in by_sector.items()}
    for row in by_sector.values():
        row["total_effect"] = math.fsum(row[e] for e in effects)

    def compound(key):
        value = 1.0
        for period in periods:
            value *= 1.0 + period[key]
        return value - 1.0

    summary = {e: math.fsum(p[e] for p in periods) for e in effects}
    summary["total_effect"] = math.fsum(summary[e] for e in effects)
    summary["portfolio_return"] = compound("portfolio_return")
    summary["benchmark_return"] = compound("benchmark_return")
    summary["periods"] = len(periods)
    summary["first_date"] = periods[0]["start_date"]
    summary["last_date"] = periods[-1]["end_date"]

    named = sorted(s for s in by_sector if s not in (CASH_BUCKET, OTHER_BUCKET))
    order = named + [s for s in (OTHER_BUCKET, CASH_BUCKET) if s in by_sector]
    return {
        "sectors": order,
        "periods": periods,
        "by_sector": {s: by_sector[s] for s in order},
        "summary": summary,
        "warnings": warnings,
    }


# ---- dispatch -------------------------------------------------------------------------------

OPERATIONS = {
    "get_id_symbol_map": get_id_symbol_map,
    "pnl_analysis": pnl_analysis,
    "risk_analysis": risk_analysis,
    "sensitivity_analysis": sensitivity_analysis,
    "single_exposure_analysis": single_exposure_analysis,
    "brinson_analysis": brinson_analysis,
}


def answer(body, bundle):
    """The answer object for one request body; never raises."""
    try:
        try:
            request = decode_body(body)
        except ValueError as exc:
            raise RequestError(str(exc)) from None
        if not isinstance(request, dict):
            raise RequestError("request must be a JSON object")
        cmd = field(request, "cmd", "request", str)
        operation = OPERATIONS.get(cmd)
        if operation is None:
            raise RequestError(f"unknown cmd {cmd!r}")
        return operation(request, bundle)
    except RequestError as exc:
        return {"error": str(exc)}
    except BundleError as exc:
        return {"error": f"market data unavailable: {exc}"}
    except Exception as exc:  # noqa: BLE001 - a fault in one request must not cost the caller its answer
        traceback.print_exc(file=sys.stderr)
        return {"error": f"internal error: {type(exc).__name__}: {exc}"}
