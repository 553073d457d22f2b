import math
import unittest

from tests.support import (
    A, B, C, D, DAYS, E, FUTURE, INDEX, OTHER_INDEX, Service, close_on, CLOSES, portfolio_rows,
)

SQRT_YEAR = math.sqrt(252)


def returns(levels):
    return [levels[i] / levels[i - 1] - 1 for i in range(1, len(levels))]


def compound(rets, start=1.0):
    levels = [start]
    for r in rets:
        levels.append(levels[-1] * (1 + r))
    return levels


def mean(xs):
    return sum(xs) / len(xs)


def sample_std(xs):
    m = mean(xs)
    return math.sqrt(sum((x - m) ** 2 for x in xs) / (len(xs) - 1))


class OperationsTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.service = Service()

    @classmethod
    def tearDownClass(cls):
        cls.service.stop()

    def ask(self, **request):
        answer = self.service.request(request)
        self.assertIsInstance(answer, dict)
        self.assertNotIn("error", answer, answer.get("error"))
        return answer

    def assertSeq(self, actual, expected, places=12):
        self.assertEqual(len(actual), len(expected))
        for a, e in zip(actual, expected):
            self.assertAlmostEqual(a, e, places=places)

    def test_symbol_map_lists_stocks_only(self):
        answer = self.ask(cmd="get_id_symbol_map")
        self.assertEqual(set(answer), {A, B, C, D, E, "600004.XSHG"})
        self.assertEqual(answer[B], "Beta Bank")

    def test_pnl_against_bundle_and_given_series(self):
        levels = [1.0, 1.1, 0.99, 1.089]
        answer = self.ask(cmd="pnl_analysis", portfolio_series=portfolio_rows(levels), benchmark=INDEX,
                          benchmark_series=None)
        self.assertEqual(answer["dates"], [str(d) for d in DAYS[:4]])
        self.assertSeq(answer["portfolio"]["daily_returns"], [0, 0.1, -0.1, 0.1])
        self.assertSeq(answer["portfolio"]["cumulative_returns"], [0, 0.1, -0.01, 0.089])
        # index closes 3000, 3030, 2999.7, 3059.694
        self.assertSeq(answer["benchmark_pnl"]["daily_returns"], [0, 0.01, -0.01, 0.02])
        self.assertSeq(answer["excess"]["daily_returns"], [0, 0.09, -0.09, 0.08])
        self.assertAlmostEqual(answer["excess"]["cumulative_returns"][-1], 0.089 - 0.019898)
        self.assertEqual(answer["benchmark_source"], "bundle")

        # A given benchmark series wins over the bundle; an empty one falls back to it.
        given = portfolio_rows([2.0, 2.2, 2.2, 1.98])
        answer = self.ask(cmd="pnl_analysis", portfolio_series=portfolio_rows(levels), benchmark=INDEX,
                          benchmark_series=given)
        self.assertSeq(answer["benchmark_pnl"]["daily_returns"], [0, 0.1, 0, -0.1])
        self.assertEqual(answer["benchmark_source"], "series")
        answer = self.ask(cmd="pnl_analysis", portfolio_series=portfolio_rows(levels), benchmark=INDEX,
                          benchmark_series=[])
        self.assertEqual(answer["benchmark_source"], "bundle")

    def test_pnl_collapses_intraday_stamps_and_unsorted_rows(self):
        rows = portfolio_rows([1.0, 1.05], DAYS[:2], "10:00:00") + portfolio_rows([1.0, 1.1], DAYS[:2])
        rows.reverse()
        answer = self.ask(cmd="pnl_analysis", portfolio_series=rows, benchmark=INDEX, benchmark_series=None)
        self.assertEqual(answer["dates"], [str(DAYS[0]), str(DAYS[1])])
        self.assertSeq(answer["portfolio"]["daily_returns"], [0, 0.1])

    def test_pnl_drops_days_outside_the_benchmark_range(self):
        rows = [{"datetime": "2014-12-31 15:00:00", "unit_net_value": 0.5}] + portfolio_rows([1.0, 1.1], DAYS[:2])
        answer = self.ask(cmd="pnl_analysis", portfolio_series=rows, benchmark=INDEX, benchmark_series=None)
        self.assertEqual(answer["dates"], [str(DAYS[0]), str(DAYS[1])])
        answer = self.service.request({"cmd": "pnl_analysis", "benchmark": INDEX, "benchmark_series": None,
                                       "portfolio_series": [{"datetime": "2020-01-02", "unit_net_value": 1}]})
        self.assertIn("overlap", answer["error"])

    def test_risk_drawdown_and_return_figures(self):
        levels = [1.0, 1.2, 0.9, 1.0, 1.35]
        answer = self.ask(cmd="risk_analysis", benchmark=INDEX, portfolio=portfolio_rows(levels))
        self.assertAlmostEqual(answer["max_drawdown"], 0.25)
        self.assertEqual(answer["max_drawdown_start"], str(DAYS[1]))
        self.assertEqual(answer["max_drawdown_end"], str(DAYS[2]))
        self.assertEqual(answer["max_drawdown_recovery"], str(DAYS[4]))
        self.assertAlmostEqual(answer["total_returns"], 0.35)
        self.assertAlmostEqual(answer["annualized_returns"] / (1.35 ** 63 - 1), 1.0)
        rets = returns(levels)  # 0.2, -0.25, 0.1111, 0.35
        self.assertAlmostEqual(answer["volatility"], sample_std(rets) * SQRT_YEAR)
        self.assertAlmostEqual(answer["sharpe"], mean(rets) / sample_std(rets) * SQRT_YEAR)
        downside = math.sqrt(0.25 ** 2 / 4) * SQRT_YEAR  # one losing day out of four
        self.assertAlmostEqual(answer["downside_risk"], downside)
        self.assertAlmostEqual(answer["sortino"], mean(rets) * 252 / downside)

    def test_risk_against_a_portfolio_that_doubles_the_benchmark(self):
        bench = returns(CLOSES[INDEX])
        levels = compound([2 * r for r in bench])
        answer = self.ask(cmd="risk_analysis", benchmark=INDEX, portfolio=portfolio_rows(levels))
        self.assertEqual(answer["trading_days"], len(DAYS) - 1)
        self.assertAlmostEqual(answer["beta"], 2.0)
        self.assertAlmostEqual(answer["alpha"], 0.0)
        self.assertAlmostEqual(answer["tracking_error"], sample_std(bench) * SQRT_YEAR)
        self.assertAlmostEqual(answer["information_ratio"], mean(bench) / sample_std(bench) * SQRT_YEAR)
        self.assertAlmostEqual(answer["benchmark_volatility"], sample_std(bench) * SQRT_YEAR)

    def test_risk_of_a_flat_portfolio_has_no_ratios(self):
        answer = self.ask(cmd="risk_analysis", benchmark=INDEX, portfolio=portfolio_rows([1.0] * 5))
        self.assertIsNone(answer["volatility"])
        self.assertIsNone(answer["sharpe"])
        self.assertIsNone(answer["sortino"])
        self.assertEqual(answer["max_drawdown"], 0.0)
        self.assertIsNone(answer["max_drawdown_start"])
        self.assertAlmostEqual(answer["beta"], 0.0)

    def _style_series(self, baskets):
        def basket(ids, i):
            return mean([close_on(o, DAYS[i]) / close_on(o, DAYS[i - 1]) - 1 for o in ids])

        return {f: [basket(b["long"], i) - basket(b["short"], i) for i in range(1, len(DAYS))]
                for f, b in baskets.items()}

    def test_sensitivity_recovers_known_loadings(self):
        probe = self.ask(cmd="sensitivity_analysis", portfolio=portfolio_rows([1.0 + i / 100 for i in range(16)]))
        baskets = probe["factor_baskets"]
        self.assertEqual(baskets["size"], {"long": [D, A], "short": [E, C]})
        self.assertEqual(baskets["value"], {"long": [E, B], "short": [A, "600004.XSHG"]})
        # momentum's basket equals size's, so it cannot be told apart and is dropped.
        self.assertEqual(probe["dropped_regressors"], ["momentum"])
        self.assertEqual(probe["regressors"], ["market", "size", "value"])

        style = self._style_series(baskets)
        market = returns(CLOSES[INDEX])
        y = [0.001 + 1.2 * m + 0.5 * s - 0.3 * v for m, s, v in zip(market, style["size"], style["value"])]
        answer = self.ask(cmd="sensitivity_analysis", portfolio=portfolio_rows(compound(y)))
        coef = answer["coefficients"]
        for name, expected in (("intercept", 0.001), ("market", 1.2), ("size", 0.5), ("value", -0.3)):
            self.assertAlmostEqual(coef[name], expected, places=9, msg=name)
        self.assertAlmostEqual(answer["r_squared"], 1.0, places=9)
        self.assertIsNone(answer["t_stats"]["market"])
        self.assertEqual(answer["observations"], 15)

    def test_sensitivity_residuals_are_orthogonal_to_regressors(self):
        noise = [((i * 7919) % 13 - 6) / 1000 for i in range(15)]
        market = returns(CLOSES[INDEX])
        y = [0.8 * m + e for m, e in zip(market, noise)]
        answer = self.ask(cmd="sensitivity_analysis", portfolio=portfolio_rows(compound(y)))
        style = self._style_series(answer["factor_baskets"])
        columns = {"intercept": [1.0] * 15, "market": market, "size": style["size"], "value": style["value"]}
        coef = answer["coefficients"]
        resid = [y[t] - sum(coef[k] * columns[k][t] for k in coef) for t in range(15)]
        for name, x in columns.items():
            self.assertAlmostEqual(sum(e * xi for e, xi in zip(resid, x)), 0.0, places=10, msg=name)
        rss = sum(e * e for e in resid)
        tss = sum((v - mean(y)) ** 2 for v in y)
        self.assertAlmostEqual(answer["r_squared"], 1 - rss / tss, places=10)
        se_market = answer["std_errors"]["market"]
        self.assertAlmostEqual(answer["t_stats"]["market"], coef["market"] / se_market)
        self.assertGreater(answer["t_stats"]["market"], 2)

    def test_sensitivity_needs_more_dates_than_coefficients(self):
        answer = self.service.request({"cmd": "sensitivity_analysis", "portfolio": portfolio_rows([1, 1.1, 1.2])})
        self.assertIn("need at least", answer["error"])

    def test_exposure_weights_flags_and_benchmark(self):
        positions = [
            {"datetime": f"{DAYS[1]} 15:00:00", "order_book_id": A, "quantity": 50, "last_price": 6.0,
             "avg_price": 6.0, "market_value": 300.0},
            {"datetime": f"{DAYS[1]} 15:00:00", "order_book_id": B, "quantity": 10, "last_price": 10.0,
             "avg_price": 10.0, "market_value": 100.0},
            {"datetime": f"{DAYS[1]} 15:00:00", "order_book_id": C, "quantity": 60, "last_price": 10.0,
             "avg_price": 10.0, "market_value": 600.0},
        ]
        answer = self.ask(cmd="single_exposure_analysis", portfolio={"positions": positions}, benchmark=INDEX,
                          date=f"{DAYS[1]} 15:00:00")
        self.assertEqual(answer["factors"], ["size", "value", "momentum", "volatility", "liquidity", "growth"])
        # size: .3*1.5 + .1*.5 + .6*(-.5); benchmark .3*1.5 + .2*.5 + .25*(-.5) + .25*1.0
        self.assertAlmostEqual(answer["portfolio_exposure"]["size"], 0.2)
        self.assertAlmostEqual(answer["benchmark_exposure"]["size"], 0.675)
        self.assertAlmostEqual(answer["active_exposure"]["size"], -0.475)
        self.assertAlmostEqual(answer["st_stock_weight"], 0.1)   # B is ST
        self.assertAlmostEqual(answer["new_stock_weight"], 0.6)  # C listed 2014-06-01

        # A year after C's listing it no longer counts as new; a future has no factors.
        answer = self.ask(cmd="single_exposure_analysis", benchmark=None, date="2015-06-01 15:00:00",
                          portfolio={"positions": positions[2:] + [{"order_book_id": FUTURE, "market_value": 600.0}]})
        self.assertEqual(answer["new_stock_weight"], 0.0)
        self.assertAlmostEqual(answer["uncovered_weight"], 0.5)
        self.assertAlmostEqual(answer["portfolio_exposure"]["size"], -0.25)
        self.assertIsNone(answer["benchmark_exposure"])

    def test_exposure_of_an_empty_book_and_an_index_without_weights(self):
        answer = self.ask(cmd="single_exposure_analysis", portfolio={"positions": []}, benchmark=OTHER_INDEX,
                          date=str(DAYS[0]))
        self.assertEqual(answer["portfolio_exposure"]["size"], 0.0)
        self.assertEqual(answer["st_stock_weight"], 0.0)
        self.assertIsNone(answer["active_exposure"])
        self.assertTrue(answer["warnings"])

    def brinson_series(self):
        def pos(oid, qty, price):
            return {"datetime": "", "order_book_id": oid, "quantity": qty, "market_value": qty * price}

        return [
            {"date": str(DAYS[0]), "market_value": 1000.0, "cash": 100.0, "positions": [pos(A, 100, 6.0), pos(C, 30, 10.0)]},
            {"date": str(DAYS[1]), "market_value": 1000.0, "cash": 70.0, "positions": [pos(A, 100, 6.6), pos(C, 30, 9.0)]},
            # A sold during the second period: its return there comes from the bars (-5%).
            {"date": str(DAYS[2]), "market_value": 527.0, "cash": 130.0, "positions": [pos(C, 30, 9.9), pos(E, 10, 10.0)]},
            {"date": str(DAYS[3]), "market_value": 537.0, "cash": 130.0, "positions": [pos(C, 30, 9.9), pos(E, 10, 11.0)]},
        ]

    def test_brinson_by_hand(self):
        answer = self.ask(cmd="brinson_analysis", benchmark=INDEX, portfolio_series=self.brinson_series(),
                          sector_decider="ShenWan")
        self.assertEqual(answer["sectors"], ["Bank", "Energy", "Tech", "cash"])
        first, second, third = answer["periods"]

        # Period 1: wp Bank .6 Tech .3 cash .1, Rp_s .10/-.10; wb .5/.5, Rb_s .04/.025, Rb .0325.
        self.assertAlmostEqual(first["portfolio_return"], 0.03)
        self.assertAlmostEqual(first["benchmark_return"], 0.0325)
        self.assertAlmostEqual(first["allocation"], -0.001)
        self.assertAlmostEqual(first["selection"], -0.0325)
        self.assertAlmostEqual(first["interaction"], 0.031)
        self.assertAlmostEqual(first["sectors"]["cash"]["allocation"], -0.00325)
        self.assertAlmostEqual(first["sectors"]["Tech"]["interaction"], 0.025)

        # Period 2: wp .66/.27/.07, Rp_s -.05/.10; Rb_s -.03/.05, Rb .01.
        self.assertAlmostEqual(second["portfolio_return"], -0.006)
        self.assertAlmostEqual(second["allocation"], -0.0163)
        self.assertAlmostEqual(second["selection"], 0.015)
        self.assertAlmostEqual(second["interaction"], -0.0147)

        # Period 3: the benchmark is flat; Energy is not in it, so it shows only as interaction.
        energy = third["sectors"]["Energy"]
        self.assertAlmostEqual(energy["portfolio_weight"], 100 / 527)
        self.assertEqual(energy["benchmark_weight"], 0.0)
        self.assertAlmostEqual(energy["allocation"], 0.0)
        self.assertAlmostEqual(energy["selection"], 0.0)
        self.assertAlmostEqual(energy["interaction"], 10 / 527)

        for period in answer["periods"]:
            effects = period["allocation"] + period["selection"] + period["interaction"]
            self.assertAlmostEqual(effects, period["active_return"])
            self.assertAlmostEqual(sum(s["portfolio_weight"] for s in period["sectors"].values()), 1.0)
        summary = answer["summary"]
        self.assertAlmostEqual(summary["allocation"], -0.0173)
        self.assertAlmostEqual(summary["selection"], -0.0175)
        self.assertAlmostEqual(summary["interaction"], 0.031 - 0.0147 + 10 / 527)
        self.assertAlmostEqual(summary["portfolio_return"], 1.03 * 0.994 * (1 + 10 / 527) - 1)
        self.assertAlmostEqual(answer["by_sector"]["Energy"]["total_effect"], 10 / 527)
        self.assertEqual(answer["warnings"], [])

    def test_brinson_refusals(self):
        series = self.brinson_series()
        for request, fragment in (
            ({"sector_decider": "CITIC"}, "sector_decider"),
            ({"benchmark": OTHER_INDEX}, "constituent"),
            ({"portfolio_series": series[:1]}, "at least 2"),
            ({"portfolio_series": [dict(series[0], cash=None), series[1]]}, "cash"),
        ):
            base = {"cmd": "brinson_analysis", "benchmark": INDEX, "portfolio_series": series,
                    "sector_decider": "ShenWan"}
            base.update(request)
            with self.subTest(request=request):
                self.assertIn(fragment, self.service.request(base).get("error", ""))


if __name__ == "__main__":
    unittest.main()
