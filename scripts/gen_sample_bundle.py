#!/usr/bin/env python3
"""Generate the sample market-data bundle (sample-data/bundle/).

The output is byte-for-byte the same on every run: all randomness comes from
one seeded generator, numbers are written with fixed precision, and files are
written with "\n" line ends in a fixed order.  Rerun after changing anything
here and commit the regenerated files together with the change.

    python3 scripts/gen_sample_bundle.py [--out DIR]
"""

import argparse
import datetime
import math
import os
import random
import shutil

SEED = 288
FIRST_DAY = datetime.date(2014, 1, 2)
LAST_DAY = datetime.date(2018, 12, 28)

# Exchange closures that fall on weekdays (a fixed, invented-but-plausible list).
HOLIDAYS = """
2014-01-31 2014-02-03 2014-02-04 2014-02-05 2014-02-06 2014-04-07 2014-05-01
2014-05-02 2014-06-02 2014-09-08 2014-10-01 2014-10-02 2014-10-03 2014-10-06
2014-10-07
2015-01-01 2015-01-02 2015-02-18 2015-02-19 2015-02-20 2015-02-23 2015-02-24
2015-04-06 2015-05-01 2015-06-22 2015-09-03 2015-09-04 2015-10-01 2015-10-02
2015-10-05 2015-10-06 2015-10-07
2016-01-01 2016-02-08 2016-02-09 2016-02-10 2016-02-11 2016-02-12 2016-04-04
2016-05-02 2016-06-09 2016-06-10 2016-09-15 2016-09-16 2016-10-03 2016-10-04
2016-10-05 2016-10-06 2016-10-07
2017-01-02 2017-01-27 2017-01-30 2017-01-31 2017-02-01 2017-02-02 2017-04-03
2017-04-04 2017-05-01 2017-05-29 2017-05-30 2017-10-02 2017-10-03 2017-10-04
2017-10-05 2017-10-06
2018-01-01 2018-02-15 2018-02-16 2018-02-19 2018-02-20 2018-02-21 2018-04-05
2018-04-06 2018-04-30 2018-05-01 2018-06-18 2018-09-24 2018-10-01 2018-10-02
2018-10-03 2018-10-04 2018-10-05
""".split()

# Market regimes: (first day, daily drift, daily volatility).  They give the
# sample a boom, a crash and quiet years, so strategies have something to do.
REGIMES = [
    ("2014-01-02", 0.0000, 0.009),
    ("2014-07-01", 0.0030, 0.014),
    ("2015-06-15", -0.0055, 0.028),
    ("2015-10-08", 0.0012, 0.017),
    ("2016-01-04", -0.0070, 0.024),
    ("2016-02-01", 0.0006, 0.009),
    ("2018-01-02", -0.0010, 0.013),
]

SECTOR_VOL = 0.006

# order_book_id, symbol, sector, listed_date, is_st, first price, beta,
# idiosyncratic daily volatility, yearly drift, typical daily volume (shares)
STOCKS = [
    ("000001.XSHE", "青石银行", "银行", "1991-04-03", 0, 11.20, 0.95, 0.011, 0.04, 60_000_000),
    ("600000.XSHG", "江澜银行", "银行", "1999-11-10", 0, 9.85, 0.90, 0.010, 0.02, 40_000_000),
    ("600519.XSHG", "云岭酒业", "食品饮料", "2001-08-27", 0, 128.60, 0.85, 0.015, 0.25, 3_000_000),
    ("000002.XSHE", "北辰置业", "房地产", "1991-01-29", 0, 8.05, 1.10, 0.016, 0.08, 50_000_000),
    ("600048.XSHG", "南湖地产", "房地产", "2006-07-18", 0, 5.72, 1.15, 0.017, 0.05, 45_000_000),
    ("000725.XSHE", "明镜光电", "电子", "2001-01-12", 0, 2.31, 1.20, 0.018, 0.03, 150_000_000),
    ("002415.XSHE", "星图视讯", "电子", "2010-05-28", 0, 24.80, 1.25, 0.020, 0.20, 12_000_000),
    ("600570.XSHG", "恒码软件", "计算机", "2003-12-16", 0, 26.40, 1.35, 0.024, 0.10, 9_000_000),
    ("000616.XSHE", "*ST远航", "计算机", "1996-08-09", 1, 4.12, 1.00, 0.028, -0.25, 6_000_000),
    ("603259.XSHG", "凌云智能", "计算机", "2017-03-15", 0, 15.36, 1.30, 0.026, 0.15, 20_000_000),
]

# index id, symbol, listed_date, first level, {constituent: weight}
INDEXES = [
    ("000300.XSHG", "大盘综合指数", "2005-04-08", 2330.03, {
        "000001.XSHE": 0.2200, "600000.XSHG": 0.1800, "600519.XSHG": 0.2500,
        "000002.XSHE": 0.1900, "000725.XSHE": 0.1600}),
    ("000905.XSHG", "中盘成长指数", "2007-01-15", 4220.15, {
        "600048.XSHG": 0.3000, "002415.XSHE": 0.4000, "600570.XSHG": 0.3000}),
]
INDEX_NOISE = 0.0008

FUTURE = ("IF88", "大盘指数期货连续", "2010-04-16", "000300.XSHG", 300, 0.12)

DAYS_PER_YEAR = 244
FACTORS = ("size", "value", "momentum", "volatility", "liquidity", "growth")


def trading_days():
    holidays = set(HOLIDAYS)
    day, days = FIRST_DAY, []
    while day <= LAST_DAY:
        text = day.isoformat()
        if day.weekday() < 5 and text not in holidays:
            days.append(text)
        day += datetime.timedelta(days=1)
    return days


def regime_at(day):
    drift, vol = REGIMES[0][1:]
    for start, d, v in REGIMES:
        if day >= start:
            drift, vol = d, v
    return drift, vol


def price_text(value):
    return "%.2f" % value


def make_bar(z, prev_close, ret, vol, limit, tick):
    """OHLC for one day whose close is prev_close * (1 + ret), kept inside the price limit.

    z holds three standard normal draws that shape the open, high and low.
    """
    lo_lim, hi_lim = prev_close * (1 - limit), prev_close * (1 + limit)
    close = min(max(prev_close * (1 + ret), lo_lim), hi_lim)
    gap = 0.3 * ret + 0.35 * vol * z[0]
    open_ = min(max(prev_close * (1 + gap), lo_lim), hi_lim)
    high = min(max(open_, close) * (1 + abs(0.45 * vol * z[1])), hi_lim)
    low = max(min(open_, close) * (1 - abs(0.45 * vol * z[2])), lo_lim)
    # Round to the tick, then keep the rounded prices inside the limit too
    # (at low prices one tick is a large step).
    lo_tick, hi_tick = math.ceil(lo_lim / tick - 1e-9), math.floor(hi_lim / tick + 1e-9)
    o, h, l, c = (min(max(round(x / tick), lo_tick), hi_tick) * tick for x in (open_, high, low, close))
    return o, max(h, o, c), min(l, o, c), c


def simulate(days):
    rng = random.Random(SEED)
    sectors = sorted({s[2] for s in STOCKS})
    stock_ids = [s[0] for s in STOCKS]
    bars = {sid: [] for sid in stock_ids}
    closes = {s[0]: s[5] for s in STOCKS}
    market_returns = []

    for day in days:
        drift, vol = regime_at(day)
        market = drift + rng.gauss(0.0, vol)
        market_returns.append(market)
        sector_move = {s: rng.gauss(0.0, SECTOR_VOL * vol / 0.012) for s in sectors}
        for sid, _sym, sector, listed, is_st, _p0, beta, ivol, ydrift, base_volume in STOCKS:
            # Draw every stock every day, listed or not, so adding a stock
            # later does not reshuffle the others' paths.
            idio = rng.gauss(0.0, ivol)
            noise = [rng.gauss(0.0, 1.0) for _ in range(4)]
            if day < listed:
                continue
            ret = beta * market + sector_move[sector] + idio + ydrift / DAYS_PER_YEAR
            limit = 0.05 if is_st else 0.10
            o, h, l, c = make_bar(noise[1:], closes[sid], ret, beta * vol + ivol, limit - 0.001, 0.01)
            volume = base_volume * math.exp(0.3 * noise[0]) * (1 + 25 * abs(c / closes[sid] - 1))
            bars[sid].append((day, o, h, l, c, int(volume // 100 * 100)))
            closes[sid] = c
    return bars, rng


def build_index(rng, days, stock_bars, weights, first_level):
    by_day = {sid: {b[0]: b for b in stock_bars[sid]} for sid in weights}
    prev_close = {sid: None for sid in weights}
    level, rows = first_level, []
    for day in days:
        ret, day_volume = 0.0, 0
        for sid, w in weights.items():
            bar = by_day[sid].get(day)
            if bar is None:
                continue
            if prev_close[sid] is not None:
                ret += w * (bar[4] / prev_close[sid] - 1)
            prev_close[sid] = bar[4]
            day_volume += bar[5]
        ret += rng.gauss(0.0, INDEX_NOISE)
        _drift, vol = regime_at(day)
        z = [rng.gauss(0.0, 1.0) for _ in range(3)]
        o, h, l, c = make_bar(z, level, ret, vol, 0.2, 0.01)
        rows.append((day, o, h, l, c, day_volume * 40))
        level = c
    return rows


def build_future(rng, index_rows):
    basis, rows = -0.002, []
    for day, o, h, l, c, _v in index_rows:
        basis = -0.002 + 0.85 * (basis + 0.002) + rng.gauss(0.0, 0.0012)
        f = 1 + basis
        fo, fh, fl, fc = (round(x * f * 5) / 5 for x in (o, h, l, c))
        volume = int(80_000 * math.exp(0.35 * rng.gauss(0.0, 1.0)) * (1 + 20 * abs(c / o - 1)))
        rows.append((day, fo, max(fh, fo, fc), min(fl, fo, fc), fc, volume))
    return rows


def write_lines(path, lines):
    with open(path, "w", encoding="utf-8", newline="\n") as f:
        f.write("\n".join(lines) + "\n")


def write_bars(path, rows, fmt):
    lines = ["date,open,high,low,close,volume"]
    for day, o, h, l, c, v in rows:
        lines.append("%s,%s,%s,%s,%s,%d" % (day, fmt(o), fmt(h), fmt(l), fmt(c), v))
    write_lines(path, lines)


def factor_rows(rng):
    index_of = {sid: idx for idx, _s, _l, _p, w in INDEXES for sid in w}
    rows = []
    for sid, _sym, _sector, listed, is_st, _p0, beta, ivol, ydrift, volume in STOCKS:
        size = {"000300.XSHG": 1.2, "000905.XSHG": -0.1}.get(index_of.get(sid), -0.9)
        exposures = (
            size + rng.gauss(0.0, 0.3),
            rng.gauss(0.3 if index_of.get(sid) == "000300.XSHG" else -0.2, 0.6),
            ydrift * 4 + rng.gauss(0.0, 0.4),
            (ivol - 0.018) * 120 + rng.gauss(0.0, 0.2),
            math.log(volume / 20_000_000) + rng.gauss(0.0, 0.2),
            (1.0 if listed >= "2010" else 0.0) - (1.0 if is_st else 0.0) + rng.gauss(0.0, 0.5),
        )
        rows.append("%s,%s" % (sid, ",".join("%.3f" % x for x in exposures)))
    return rows


README = """\
# Sample market-data bundle

Generated by `scripts/gen_sample_bundle.py` (seeded; rerunning it rewrites the
same bytes).  Every instrument, name and price here is fictional.  All files are
UTF-8 CSV with a header line and "\\n" line ends.

Trading days run from {first} to {last}: weekdays minus a fixed list of
holidays ({days} days).  Every instrument has a bar on every trading day from
its listing on; there are no suspensions, dividends or splits.

## instruments.csv

`order_book_id,symbol,type,sector,listed_date,is_st`

- `order_book_id`: instrument id (`NNNNNN.XSHE` / `NNNNNN.XSHG`, or `IF88`).
- `symbol`: display name.
- `type`: `CS` (stock), `INDX` (index) or `Future`.
- `sector`: industry of a stock (empty for indexes and futures).
- `listed_date`: `YYYY-MM-DD`.  One stock lists in 2017, so its bars start then.
- `is_st`: `1` for a stock under special treatment (price limit 5% instead of 10%), else `0`.

## bars/<order_book_id>.csv

`date,open,high,low,close,volume`: one row per trading day, ascending.
Prices have two decimals (futures move in steps of 0.2); volume is in shares
(stocks, indexes) or contracts (futures).  Stock prices come from a random walk
made of a market move, a sector move and a stock's own move; a day's close
never moves more than its price limit from the previous close.

## benchmark_weights.csv

`benchmark,order_book_id,weight`: constituents of each index; the weights of
one index sum to 1.  Each index's daily return is the weighted return of its
constituents plus a little noise.

## factors.csv

`order_book_id,size,value,momentum,volatility,liquidity,growth`: static style
exposures of each stock, as z-scores.

## futures.csv

`order_book_id,multiplier,margin_rate`: contract multiplier and exchange margin
rate.  IF88 is a continuous contract that follows 000300.XSHG with a small,
slowly varying basis.
"""


def generate(out_dir):
    days = trading_days()
    stock_bars, rng = simulate(days)
    index_bars = {idx: build_index(rng, days, stock_bars, weights, level)
                  for idx, _s, _l, level, weights in INDEXES}
    fut_id, fut_symbol, fut_listed, fut_underlying, multiplier, margin_rate = FUTURE
    future_bars = build_future(rng, index_bars[fut_underlying])

    if os.path.isdir(out_dir):
        shutil.rmtree(out_dir)
    os.makedirs(os.path.join(out_dir, "bars"))

    instruments = ["order_book_id,symbol,type,sector,listed_date,is_st"]
    for sid, sym, sector, listed, is_st, *_rest in STOCKS:
        instruments.append("%s,%s,CS,%s,%s,%d" % (sid, sym, sector, listed, is_st))
    for idx, sym, listed, _level, _w in INDEXES:
        instruments.append("%s,%s,INDX,,%s,0" % (idx, sym, listed))
    instruments.append("%s,%s,Future,,%s,0" % (fut_id, fut_symbol, fut_listed))
    write_lines(os.path.join(out_dir, "instruments.csv"), instruments)

    for sid, rows in stock_bars.items():
        write_bars(os.path.join(out_dir, "bars", sid + ".csv"), rows, price_text)
    for idx, rows in index_bars.items():
        write_bars(os.path.join(out_dir, "bars", idx + ".csv"), rows, price_text)
    write_bars(os.path.join(out_dir, "bars", fut_id + ".csv"), future_bars, lambda x: "%.1f" % x)

    weights = ["benchmark,order_book_id,weight"]
    for idx, _s, _l, _level, members in INDEXES:
        weights += ["%s,%s,%.4f" % (idx, sid, w) for sid, w in members.items()]
    write_lines(os.path.join(out_dir, "benchmark_weights.csv"), weights)

    write_lines(os.path.join(out_dir, "factors.csv"),
                ["order_book_id," + ",".join(FACTORS)] + factor_rows(rng))
    write_lines(os.path.join(out_dir, "futures.csv"),
                ["order_book_id,multiplier,margin_rate", "%s,%d,%.2f" % (fut_id, multiplier, margin_rate)])

    with open(os.path.join(out_dir, "README.md"), "w", encoding="utf-8", newline="\n") as f:
        f.write(README.format(first=days[0], last=days[-1], days=len(days)))


def main():
    repo = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--out", default=os.path.join(repo, "sample-data", "bundle"),
                        help="bundle directory to (re)create (default: %(default)s)")
    args = parser.parse_args()
    generate(args.out)
    print("bundle written to", args.out)


if __name__ == "__main__":
    main()
