"""In-process checks of the engine's arithmetic: risk figures, parameter values, order rounding."""

import math
import random
import statistics
import unittest

from kestrun_standin.bundle import Instrument
from kestrun_standin.params import ParameterError, Parameters
from kestrun_standin.risk import DAYS_PER_YEAR, RISK_FREE_RATE, RiskTracker, annualized
from kestrun_standin.sim import Broker

STOCK = Instrument("000001.XSHE", "s", "CS", "x", "2000-01-01", False)
FUTURE = Instrument("IF88", "f", "Future", "", "2010-01-01", False, 300.0, 0.12)


class RiskTest(unittest.TestCase):
    def test_running_figures_match_a_direct_computation(self):
        rng = random.Random(5)
        rp = [rng.gauss(0.0005, 0.015) for _ in range(120)]
        rb = [0.6 * r + rng.gauss(0.0, 0.008) for r in rp]
        tracker, unv, unv_b, peak, drawdown = RiskTracker(), 1.0, 1.0, 1.0, 0.0
        for p, b in zip(rp, rb):
            unv *= 1 + p
            unv_b *= 1 + b
            peak = max(peak, unv)
            drawdown = max(drawdown, 1 - unv / peak)
            figures = tracker.update(p, b, unv, unv_b)
        alpha, beta, sharpe, sortino, info, vol, max_dd, te, down = figures

        n, year = len(rp), DAYS_PER_YEAR
        ann, ann_b = unv ** (year / n) - 1, unv_b ** (year / n) - 1
        expected_beta = statistics.covariance(rp, rb) / statistics.variance(rb)
        expected_vol = statistics.stdev(rp) * math.sqrt(year)
        expected_te = statistics.stdev([p - b for p, b in zip(rp, rb)]) * math.sqrt(year)
        expected_down = math.sqrt(sum(min(p, 0) ** 2 for p in rp) / n * year)
        self.assertAlmostEqual(beta, expected_beta)
        self.assertAlmostEqual(vol, expected_vol)
        self.assertAlmostEqual(te, expected_te)
        self.assertAlmostEqual(down, expected_down)
        self.assertAlmostEqual(max_dd, drawdown)
        self.assertAlmostEqual(sharpe, (ann - RISK_FREE_RATE) / expected_vol)
        self.assertAlmostEqual(sortino, (ann - RISK_FREE_RATE) / expected_down)
        self.assertAlmostEqual(info, (ann - ann_b) / expected_te)
        self.assertAlmostEqual(alpha, ann - (RISK_FREE_RATE + expected_beta * (ann_b - RISK_FREE_RATE)))

    def test_undefined_figures_are_none_not_nan(self):
        first = RiskTracker().update(0.01, 0.02, 1.01, 1.02)
        self.assertEqual([first[i] for i in (0, 1, 2, 4, 5, 7)], [None] * 6)
        flat = RiskTracker()
        for _ in range(5):
            figures = flat.update(0.0, 0.0, 1.0, 1.0)
        self.assertEqual(figures, [None, None, None, None, None, 0.0, 0.0, 0.0, 0.0])
        self.assertEqual(annualized(0.0, 10), -1.0)
        self.assertEqual(annualized(1e6, 1), math.inf)


class ParameterTest(unittest.TestCase):
    def test_values_convert_to_the_declared_or_inferred_type(self):
        given = {"i": "20", "i2": "20.0", "f": "5", "b": "False", "s": "None", "l": "[1, 'a']",
                 "d": "{'k': 2}", "n": "[3]", "n2": "abc"}
        p = Parameters(given)
        self.assertEqual(p("i", 1), 20)
        self.assertEqual(p("i2", 1), 20)
        self.assertEqual(p("f", 0.5), 5.0)
        self.assertIs(p("b", True), False)
        self.assertEqual(p("s", "x"), "None")
        self.assertEqual(p("l", []), [1, "a"])
        self.assertEqual(p("d", {}, type="dict"), {"k": 2})
        self.assertEqual(p("n", None), [3])
        self.assertEqual(p("n2", None), "abc")
        self.assertEqual(p("absent", 7, minimum=1), 7)
        self.assertEqual(Parameters({"x": "1", "y": "2"}).undeclared(), ["x", "y"])

    def test_bad_values_stop_the_run(self):
        cases = [({"i": "20.5"}, ("i", 1), {}), ({"b": "true"}, ("b", False), {}),
                 ({"l": "{1: 2}"}, ("l", []), {}), ({"i": "0"}, ("i", 1), {"minimum": 1}),
                 ({"s": "c"}, ("s", "a"), {"choices": ["a", "b"]}), ({}, ("t", 1), {"type": "long"}),
                 ({"f": "nan"}, ("f", 0.1), {})]
        for given, args, kwargs in cases:
            with self.subTest(given=given, kwargs=kwargs), self.assertRaises(ParameterError):
                Parameters(given)(*args, **kwargs)


class OrderRoundingTest(unittest.TestCase):
    def test_stock_lots_and_odd_lot_closing(self):
        cases = [  # held, amount, expected
            (0, 250, 200), (0, 99, 0), (0, -250, -200), (150, -150, -150), (150, -500, -450),
            (150, -100, -100), (150, -120, -100), (-150, 400, 350), (1000, 1050, 1000)]
        for held, amount, expected in cases:
            with self.subTest(held=held, amount=amount):
                self.assertEqual(Broker._round(STOCK, held, amount), expected)
        self.assertEqual(Broker._round(FUTURE, 0, -2.9), -2)

    def test_commission_minimum_scales_with_the_multiplier(self):
        broker = Broker(None, None, {}, None, None, commission_multiplier=2.0)
        self.assertAlmostEqual(broker._commission(STOCK, 1000.0), 10.0)
        self.assertAlmostEqual(broker._commission(STOCK, 100000.0), 160.0)
        self.assertAlmostEqual(broker._commission(FUTURE, 1e6), 46.0)
        self.assertEqual(Broker(None, None, {}, None, None, commission_multiplier=0.0)._commission(STOCK, 1e4), 0.0)


if __name__ == "__main__":
    unittest.main()
