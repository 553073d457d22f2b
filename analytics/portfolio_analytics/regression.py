"""Ordinary least squares with an intercept, by modified Gram-Schmidt QR.

QR rather than the normal equations keeps precision on short, nearly collinear return series,
and lets a regressor that adds nothing (a factor basket identical to another) be dropped and
reported instead of making the whole fit fail.
"""

import math

# A column whose part orthogonal to the earlier ones is this small relative to its own length
# carries no independent information.
_COLLINEAR = 1e-9
_EXACT_FIT = 1e-24


def _dot(a, b):
    return math.fsum(x * y for x, y in zip(a, b))


def ols(y, regressors):
    """Fit y = intercept + sum(b_k x_k).

    `regressors` is a list of (name, values). Returns a dict with "names" (fitted, "intercept"
    first), "dropped", "coefficients", "std_errors", "t_stats" (name -> value or None),
    "r_squared", "adjusted_r_squared", "residuals", "dof".
    """
    n = len(y)
    columns = [("intercept", [1.0] * n)] + [(name, list(map(float, xs))) for name, xs in regressors]
    names, q, r_cols, dropped = [], [], [], []
    for name, x in columns:
        v = list(x)
        coeffs = []
        for qk in q:
            c = _dot(qk, v)
            coeffs.append(c)
            v = [vi - c * qi for vi, qi in zip(v, qk)]
        norm = math.sqrt(_dot(v, v))
        scale = math.sqrt(_dot(x, x))
        if scale == 0 or norm <= _COLLINEAR * scale:
            dropped.append(name)
            continue
        names.append(name)
        q.append([vi / norm for vi in v])
        r_cols.append(coeffs + [norm])

    p = len(names)
    # R is upper triangular; r_cols[j] holds its column j (rows 0..j).
    R = [[r_cols[j][i] if i < len(r_cols[j]) else 0.0 for j in range(p)] for i in range(p)]
    qty = [_dot(qk, y) for qk in q]
    beta = [0.0] * p
    for i in range(p - 1, -1, -1):
        beta[i] = (qty[i] - math.fsum(R[i][j] * beta[j] for j in range(i + 1, p))) / R[i][i]

    # Diagonal of (X'X)^-1 = R^-1 R^-T: squared row norms of R^-1.
    Rinv = [[0.0] * p for _ in range(p)]
    for i in range(p - 1, -1, -1):
        Rinv[i][i] = 1.0 / R[i][i]
        for j in range(i + 1, p):
            Rinv[i][j] = -math.fsum(R[i][k] * Rinv[k][j] for k in range(i + 1, j + 1)) / R[i][i]
    xtx_inv_diag = [math.fsum(v * v for v in Rinv[i]) for i in range(p)]

    values = {name: x for name, x in columns}
    fitted = [math.fsum(beta[j] * values[names[j]][t] for j in range(p)) for t in range(n)]
    residuals = [yt - ft for yt, ft in zip(y, fitted)]
    rss = math.fsum(e * e for e in residuals)
    y_mean = math.fsum(y) / n
    tss = math.fsum((yt - y_mean) ** 2 for yt in y)
    dof = n - p

    r2 = 1.0 - rss / tss if tss > 0 else None
    adj = 1.0 - (1.0 - r2) * (n - 1) / dof if r2 is not None and dof > 0 else None
    s2 = rss / dof if dof > 0 else None
    # Residuals at rounding level mean an exact fit: its t-statistics are unbounded, not just large.
    if s2 is not None and rss <= _EXACT_FIT * max(tss, math.fsum(v * v for v in y)):
        s2 = 0.0
    std_errors, t_stats = {}, {}
    for j, name in enumerate(names):
        se = math.sqrt(s2 * xtx_inv_diag[j]) if s2 is not None else None
        std_errors[name] = se
        t_stats[name] = beta[j] / se if se else None
    return {
        "names": names,
        "dropped": dropped,
        "coefficients": dict(zip(names, beta)),
        "std_errors": std_errors,
        "t_stats": t_stats,
        "r_squared": r2,
        "adjusted_r_squared": adj,
        "residuals": residuals,
        "dof": dof,
    }
