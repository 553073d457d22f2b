"""Running risk figures of a daily return series against its benchmark."""

import math

DAYS_PER_YEAR = 244
RISK_FREE_RATE = 0.03   # yearly, constant


def annualized(unit_net_value, days):
    """Compound yearly return of a unit net value reached after days trading days."""
    if unit_net_value <= 0:
        return -1.0
    try:
        return math.exp(math.log(unit_net_value) * DAYS_PER_YEAR / days) - 1
    except OverflowError:
        return math.inf


def _ratio(numerator, denominator):
    if denominator is None or numerator is None or denominator <= 0 or not math.isfinite(numerator):
        return None
    return numerator / denominator


class RiskTracker:
    """Keeps running sums so each day's figures cost O(1).

    Figures that need more data than there is (a deviation from one return, a
    ratio over a zero deviation) are None.
    """

    def __init__(self):
        self.n = 0
        self.sum_p = self.sum_b = 0.0
        self.sum_pp = self.sum_bb = self.sum_pb = 0.0
        self.sum_down = 0.0
        self.peak = 1.0
        self.max_drawdown = 0.0

    def _covariance(self, sum_x, sum_y, sum_xy):
        if self.n < 2:
            return None
        return (sum_xy - sum_x * sum_y / self.n) / (self.n - 1)

    def update(self, r_p, r_b, unit_net_value, benchmark_unit_net_value):
        """Add one day; returns the nine figures in feed order."""
        self.n += 1
        n = self.n
        self.sum_p += r_p
        self.sum_b += r_b
        self.sum_pp += r_p * r_p
        self.sum_bb += r_b * r_b
        self.sum_pb += r_p * r_b
        self.sum_down += min(r_p, 0.0) ** 2
        self.peak = max(self.peak, unit_net_value)
        if self.peak > 0:
            self.max_drawdown = max(self.max_drawdown, 1 - unit_net_value / self.peak)

        ann_p = annualized(unit_net_value, n)
        ann_b = annualized(benchmark_unit_net_value, n)
        cov = self._covariance(self.sum_p, self.sum_b, self.sum_pb)
        # Rounding can take a tiny variance just below zero.
        var_p = var_b = var_active = None
        if cov is not None:
            var_p = max(self._covariance(self.sum_p, self.sum_p, self.sum_pp), 0.0)
            var_b = max(self._covariance(self.sum_b, self.sum_b, self.sum_bb), 0.0)
            var_active = max(var_p + var_b - 2 * cov, 0.0)

        volatility = None if var_p is None else math.sqrt(var_p * DAYS_PER_YEAR)
        tracking_error = None if var_active is None else math.sqrt(var_active * DAYS_PER_YEAR)
        downside_risk = math.sqrt(self.sum_down / n * DAYS_PER_YEAR)
        beta = _ratio(cov, var_b)
        alpha = None
        if beta is not None and math.isfinite(ann_p) and math.isfinite(ann_b):
            alpha = ann_p - (RISK_FREE_RATE + beta * (ann_b - RISK_FREE_RATE))
        return [
            alpha,
            beta,
            _ratio(ann_p - RISK_FREE_RATE, volatility),
            _ratio(ann_p - RISK_FREE_RATE, downside_risk),
            _ratio(ann_p - ann_b, tracking_error),
            volatility,
            self.max_drawdown,
            tracking_error,
            downside_risk,
        ]
