"""The HAC Wald tests computed with statsmodels and NumPy, shared by the tests
and the peer benchmark: kernel weights and bandwidth rules written out from
their textbook definitions, the long-run covariance by statsmodels'
S_hac_simple, the statistic by a NumPy solve; and the library's tests called
through ctypes in arenas of exactly the sizes their sizers report."""
import numpy as np
from statsmodels.stats.sandwich_covariance import S_hac_simple, weights_bartlett

import trova_ctypes as tc

BARTLETT, PARZEN, QS = 0, 1, 2
KERNELS = (BARTLETT, PARZEN, QS)
MANUAL, WOOLDRIDGE, ANDREWS, AUTO = 0, 1, 2, 3
MODES = (MANUAL, WOOLDRIDGE, ANDREWS, AUTO)
KINDS = ("mean", "covariance", "second_moment")
# Andrews (1991): the constant and characteristic exponent of each kernel.
ANDREWS_CONSTANTS = {BARTLETT: (1.1447, 1.0), PARZEN: (2.6614, 2.0), QS: (1.3221, 2.0)}
GUARD = -777.25


def kernel_function(kernel, x):
    x = np.abs(np.asarray(x, dtype=float))
    if kernel == BARTLETT:
        return np.where(x <= 1, 1 - x, 0.0)
    if kernel == PARZEN:
        return np.where(x <= 0.5, 1 - 6 * x**2 + 6 * x**3, np.where(x <= 1, 2 * (1 - x) ** 3, 0.0))
    z = 6 * np.pi * np.where(x == 0, 1.0, x) / 5
    qs = 25 / (12 * np.pi**2 * np.where(x == 0, 1.0, x) ** 2) * (np.sin(z) / z - np.cos(z))
    return np.where(x == 0, 1.0, qs)


def weights(kernel, L):
    """Weights of lags 0..L at bandwidth L (statsmodels' own for Bartlett)."""
    if kernel == BARTLETT:
        return weights_bartlett(L)
    return kernel_function(kernel, np.arange(L + 1) / (L + 1))


def omega(r, kernel, L):
    """Long-run covariance of the rows of r, lags up to min(L, n - 1)."""
    n = r.shape[0]
    L = min(L, n - 1)
    return S_hac_simple(r, nlags=L, weights_func=lambda lags: weights(kernel, lags)) / n


def wooldridge(n):
    return int(np.floor(4 * (n / 100) ** (2 / 9)))


def andrews(y, kernel):
    n = len(y)
    if n <= 1 or not np.var(y) > 1e-14:
        return 1
    num, den = y[:-1] @ y[1:], y[:-1] @ y[:-1]
    if den == 0 or not np.isfinite(num) or not np.isfinite(den):
        return 1
    rho = min(max(num / den, -0.999), 0.999)
    alpha = 2 * rho * (1 + rho) / (1 - rho) ** 2
    if not (alpha > 0 and np.isfinite(alpha)):
        return 1
    c, q = ANDREWS_CONSTANTS[kernel]
    e = 1 / (2 * q + 1)
    return max(1, int(np.floor(alpha**e * n**e * c)))


def andrews_matrix(r, kernel):
    bws = [andrews(r[:, j], kernel) for j in range(r.shape[1]) if np.var(r[:, j]) > 1e-14]
    return int(np.floor(np.median(bws))) if bws else 1


def bandwidth(r, kernel, mode, manual):
    if mode == AUTO:
        mode = WOOLDRIDGE if kernel == BARTLETT else ANDREWS
    L = {MANUAL: lambda: manual, WOOLDRIDGE: lambda: wooldridge(len(r)),
         ANDREWS: lambda: andrews_matrix(r, kernel)}[mode]()
    return min(L, len(r) - 1)


def moments(kind, g, target):
    """The moment series and the target as a vector."""
    if kind == "mean":
        return g, np.asarray(target, dtype=float)
    i, j = np.triu_indices(g.shape[1])
    x = g - g.mean(axis=0) if kind == "covariance" else g
    return x[:, i] * x[:, j], np.asarray(target, dtype=float)[i, j]


def wald(kind, g, target, kernel, mode, manual=0, lags=None):
    """(statistic, bandwidth) with statsmodels' HAC estimator and NumPy.
    `lags`, when given, replaces the bandwidth after the rule has run (the
    benchmark's overhead estimate: the same calls on a few rows)."""
    if kind != "mean" and not np.allclose(target, np.transpose(target), rtol=1e-5, atol=1e-8):
        raise ValueError("target not symmetric")
    m, t = moments(kind, g, target)
    mbar = m.mean(axis=0)
    r = m - mbar
    L = bandwidth(r, kernel, mode, manual)
    L = L if lags is None else lags
    d = mbar - t
    return len(m) * d @ np.linalg.solve(omega(r, kernel, L), d), L


class Call:
    """One of the library's tests with its arena, pivots and output bound once;
    every buffer carries one guard element behind what the sizer asks for."""

    def __init__(self, lib, kind, g, target, kernel, mode, manual=0):
        n, q = g.shape
        size = getattr(lib, f"trova_wald_{kind}_hac_arena_size")(n, q)
        self.g, self.target = np.ascontiguousarray(g, dtype=float), np.ascontiguousarray(target, dtype=float)
        self.arena = np.full(size.n_float + 1, GUARD)
        self.pivots = np.full(size.n_int + 1, -9, dtype=np.int64)
        self.stat = np.full(2, GUARD)
        self.fn = getattr(lib, f"trova_wald_{kind}_hac")
        self.args = (tc.ptr(self.g), tc.ptr(self.target), n, q, kernel, mode, manual, tc.ptr(self.arena),
                     tc.ptr(self.pivots), tc.ptr(self.stat))

    def __call__(self):
        return self.fn(*self.args)

    def guards_intact(self):
        return self.arena[-1] == GUARD and self.pivots[-1] == -9 and self.stat[1] == GUARD
