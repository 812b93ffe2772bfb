"""Every series transform, kernel and step, across shapes and data regimes,
against a plain NumPy reading of its definition.

The regimes cover one column and several (blocks of four columns and the
rest), a window equal to n, of one row, of n - 1 rows and longer than the
series, difference orders near and past n, and data with NaN, infinities of
both signs, spikes of 1e12 in unit-scale data, level shifts, slow drifts, and
tiny, huge and level-with-tiny-spread scales. References are computed in long
double about each column's (or window's) first finite value; rolling windows
come from sliding_window_view with the two-pass variance of each window, and
every comparison is to rounding relative to the scale of the
value compared (its window's, for a rolling statistic). Each step is run on a
lane laid out as its sizer says and must reproduce its kernel bit for bit.
"""
import ctypes

import numpy as np
import pytest
from numpy.lib.stride_tricks import sliding_window_view

import trova_ctypes as tc

EPS = np.finfo(float).eps
GUARD = -777.25
LOG_OFFSET = 0.25

# id: n, p, window, ddof of the rolling moments, difference order, data kind
REGIMES = {
    "several_columns": (60, 5, 7, 1, 2, "unit"),
    "one_column": (50, 1, 5, 0, 1, "unit"),
    "window_equals_n": (30, 4, 30, 1, 3, "unit"),
    "window_of_one": (25, 3, 1, 0, 1, "unit"),
    "window_and_order_n_minus_1": (26, 5, 25, 24, 25, "unit"),
    "window_longer_than_n_order_n": (12, 2, 13, 0, 12, "unit"),
    "order_past_n": (10, 3, 4, 2, 11, "unit"),
    "nan": (120, 9, 9, 1, 2, "nan"),
    "infinities": (120, 5, 6, 0, 2, "inf"),
    "nan_and_infinities_window_of_one": (40, 6, 1, 0, 1, "inf"),
    "spikes": (400, 4, 20, 1, 1, "spike"),
    "spikes_window_of_two": (200, 5, 2, 1, 3, "spike"),
    "level_shift": (300, 5, 31, 1, 2, "shift"),
    "slow_drift": (3000, 3, 40, 1, 1, "drift"),
    "tiny_scale": (80, 5, 8, 1, 2, "tiny"),
    "huge_scale": (80, 5, 8, 1, 2, "huge"),
    "level_with_tiny_spread": (200, 4, 12, 1, 1, "level"),
}


def make_data(rng, kind, n, p):
    z = rng.standard_normal((n, p))
    if kind in ("nan", "inf"):
        hit = rng.random((n, p)) < 0.04
        z[hit] = rng.choice([np.nan, np.inf, -np.inf] if kind == "inf" else [np.nan], hit.sum())
        z[:, -1] = z[:, -1] if p == 1 else 1.5  # a clean constant column next to them
    elif kind == "spike":
        hit = rng.random((n, p)) < 0.02
        z[hit] += rng.choice([-1e12, 1e12], hit.sum())
    elif kind == "shift":
        # Up from zero in even columns, down to zero in odd ones.
        for c in range(p):
            cut = rng.integers(n // 4, 3 * n // 4)
            (z[cut:, c] if c % 2 == 0 else z[:cut, c])[:] += 10.0 ** rng.uniform(3, 12)
    elif kind == "drift":
        z = np.cumsum(z, axis=0) + np.arange(n)[:, None] * 10.0 ** rng.uniform(0, 4, p)
    elif kind == "tiny":
        z *= 1e-150
    elif kind == "huge":
        z *= 1e150
    elif kind == "level":
        z = 1e8 + 1e-3 * z
    return z


def about_first_finite(x):
    """x - (the column's first finite value), in long double."""
    xl = x.astype(np.longdouble)
    first = np.array([c[np.isfinite(c)][0] if np.isfinite(c).any() else 0.0 for c in x.T])
    return xl - first.astype(np.longdouble), first


def ref_standardize(x, ddof):
    d, _ = about_first_finite(x)
    n = x.shape[0]
    with np.errstate(invalid="ignore"):
        dev = d - d.mean(0)
        sd = np.sqrt((dev * dev).sum(0) / (n - ddof))
        out = np.where(sd > 0, dev / np.where(sd > 0, sd, 1), 0.0)
        out[:, ~np.isfinite(sd)] = np.nan
        spread = np.abs(dev).max(0) / np.where(sd > 0, sd, 1)
    return out.astype(float), (np.abs(out) + spread).astype(float)


def ref_rolling(x, w, ddof):
    """Per window: mean, two-pass variance, and their scales (mean |x|, and
    the squared rounding unit of the window's largest deviation, for windows
    whose variance is at the rounding level)."""
    raw = sliding_window_view(x, w, axis=0)
    # About each window's first value (in long double, exact unless the
    # window's own values differ by more than 2^11 in magnitude).
    first = np.where(np.isfinite(raw[..., :1]), raw[..., :1], 0.0).astype(np.longdouble)
    win = raw.astype(np.longdouble) - first
    with np.errstate(invalid="ignore", over="ignore"):
        m = win.mean(-1)
        sq = (win - m[..., None]) ** 2
        var = (sq.sum(-1) / (w - ddof)).astype(float)
        mean = (m + first[..., 0]).astype(float)
        scale = np.abs(raw).mean(-1)
        unit = (64 * EPS**2 * sq.max(-1)).astype(float)
    # NumPy's mean of a window with infinities of one sign is that infinity.
    with np.errstate(invalid="ignore"):
        inf_mean = raw.sum(-1)
    mean = np.where(np.isinf(inf_mean) | np.isnan(inf_mean), inf_mean, mean)
    return mean, var, scale, unit


def ref_diff(x, order):
    n = x.shape[0]
    if order >= n:
        return np.empty((0, x.shape[1])), np.empty((0, x.shape[1]))
    with np.errstate(invalid="ignore"):
        want = np.diff(x.astype(np.longdouble), n=order, axis=0).astype(float)
    scale = np.abs(x)
    for _ in range(order):
        scale = scale[1:] + scale[:-1]  # sum of |x| with binomial weights
    return want, scale


# Per transform: kernel call, step context, output rows, sizer (prm: window,
# ddof, order).
KERNELS = {
    "standardize": (lambda L, x, n, p, k, s, o: L.trova_standardize_ax0(x, k["ddof"], n, p, s, o),
                    lambda n, p, k: tc.trova_mc_standardize_step_ctx(n, p, k["ddof"]),
                    lambda n, k: n, lambda L, n, p, k: L.trova_standardize_ax0_arena_size(n, p)),
    "log": (lambda L, x, n, p, k, s, o: L.trova_log(x, LOG_OFFSET, n, p, o),
            lambda n, p, k: tc.trova_mc_log_step_ctx(n, p, LOG_OFFSET),
            lambda n, k: n, lambda L, n, p, k: L.trova_log_arena_size(n, p)),
    "log_diff": (lambda L, x, n, p, k, s, o: L.trova_log_diff(x, LOG_OFFSET, n, p, s, o),
                 lambda n, p, k: tc.trova_mc_log_diff_step_ctx(n, p, LOG_OFFSET),
                 lambda n, k: n - 1, lambda L, n, p, k: L.trova_log_diff_arena_size(n, p)),
    "diff": (lambda L, x, n, p, k, s, o: L.trova_diff(x, k["order"], n, p, s, o),
             lambda n, p, k: tc.trova_mc_diff_step_ctx(n, p, k["order"]),
             lambda n, k: max(n - k["order"], 0), lambda L, n, p, k: L.trova_diff_arena_size(n, p, k["order"])),
    "rolling_mean": (lambda L, x, n, p, k, s, o: L.trova_rolling_mean(x, n, p, k["window"], s, o),
                     lambda n, p, k: tc.trova_mc_rolling_mean_step_ctx(n, p, k["window"]),
                     lambda n, k: max(n - k["window"] + 1, 0),
                     lambda L, n, p, k: L.trova_rolling_mean_arena_size(n, p, k["window"])),
    "rolling_var": (lambda L, x, n, p, k, s, o: L.trova_rolling_var(x, n, p, k["window"], k["ddof"], s, o),
                    lambda n, p, k: tc.trova_mc_rolling_var_step_ctx(n, p, k["window"], k["ddof"]),
                    lambda n, k: max(n - k["window"] + 1, 0),
                    lambda L, n, p, k: L.trova_rolling_var_arena_size(n, p, k["window"])),
    "rolling_std": (lambda L, x, n, p, k, s, o: L.trova_rolling_std(x, n, p, k["window"], k["ddof"], s, o),
                    lambda n, p, k: tc.trova_mc_rolling_std_step_ctx(n, p, k["window"], k["ddof"]),
                    lambda n, k: max(n - k["window"] + 1, 0),
                    lambda L, n, p, k: L.trova_rolling_std_arena_size(n, p, k["window"])),
}


def run_kernel(lib, name, x, prm):
    """(status, output) of the kernel on guard-filled scratch and output, each
    exactly as long as the sizer and the output rows say plus a guard cell."""
    kernel, _, rows, sizer = KERNELS[name]
    n, p = x.shape
    scratch = np.full(sizer(lib, n, p, prm).n_float - n * p + 1, GUARD)
    out = np.full(rows(n, prm) * p + 1, GUARD)
    status = kernel(lib, tc.ptr(x), n, p, prm, tc.ptr(scratch), tc.ptr(out))
    assert out[-1] == GUARD and scratch[-1] == GUARD, f"{name} wrote past its output or scratch"
    return status, out[:-1].reshape(-1, p)


def run_step(lib, name, x, prm):
    """(returned status, int_out[0], output) of the step on a lane [x | scratch]."""
    _, make_ctx, rows, sizer = KERNELS[name]
    n, p = x.shape
    lane = np.full(sizer(lib, n, p, prm).n_float + 1, GUARD)
    lane[:n * p] = x.ravel()
    out = np.full(rows(n, prm) * p + 1, GUARD)
    int_out = np.full(2, 99, dtype=np.int64)
    ctx = make_ctx(n, p, prm)
    status = getattr(lib, f"trova_mc_{name}_runner")(3, tc.ptr(lane), tc.ptr(out), None, tc.ptr(int_out),
                                                     ctypes.cast(ctypes.pointer(ctx), ctypes.c_void_p))
    assert out[-1] == GUARD and lane[-1] == GUARD and int_out[1] == 99, f"{name} step wrote past its lanes"
    return status, int_out[0], out[:-1].reshape(-1, p)


@tc.user_transform_fn
def column_means(inp, out, n_in, p_in, n_out, p_out):
    x = np.ctypeslib.as_array(inp, shape=(n_in, p_in))
    np.ctypeslib.as_array(out, shape=(n_out, p_out))[0] = x.mean(0)
    return 0


def same_non_finite(got, want, what):
    np.testing.assert_array_equal(np.isnan(got), np.isnan(want), err_msg=f"{what}: NaN pattern")
    inf = np.isinf(want)
    np.testing.assert_array_equal(got[inf], want[inf], err_msg=f"{what}: infinities")
    return np.isfinite(want)


def close(got, want, tol, what):
    fin = same_non_finite(got, want, what)
    with np.errstate(invalid="ignore"):
        err = np.abs(got - want)
    bad = fin & ~(err <= tol)
    assert not bad.any(), f"{what}: {bad.sum()} values off, worst {np.max(np.where(fin, err / tol, 0)):.3g} x tolerance"


@pytest.mark.parametrize("regime", sorted(REGIMES))
def test_transforms_match_numpy_across_regimes(lib, rng, regime):
    n, p, window, ddof, order, kind = REGIMES[regime]
    x = np.ascontiguousarray(make_data(rng, kind, n, p))
    prm = {"window": window, "ddof": ddof, "order": order}
    outputs = {}
    for name in KERNELS:
        status, out = run_kernel(lib, name, x, prm)
        step_status, step_int, step_out = run_step(lib, name, x, prm)
        assert step_status == step_int == status, name
        np.testing.assert_array_equal(step_out, out, err_msg=f"{name}: the step differs from its kernel")
        outputs[name] = (status, out)

    # Standardisation: a column with a NaN or an infinity is NaN throughout.
    want, scale = ref_standardize(x, ddof)
    assert outputs["standardize"][0] == 0
    close(outputs["standardize"][1], want, 64 * EPS * scale, "standardize")

    with np.errstate(divide="ignore", invalid="ignore"):
        logs = np.log(x + LOG_OFFSET)
        log_diffs = np.diff(logs, axis=0)
    assert outputs["log"][0] == 0 and outputs["log_diff"][0] == 0
    close(outputs["log"][1], logs, 2 * EPS * np.abs(logs), "log")
    with np.errstate(invalid="ignore"):
        close(outputs["log_diff"][1], log_diffs, 4 * EPS * (np.abs(logs[1:]) + np.abs(logs[:-1])), "log_diff")

    want, scale = ref_diff(x, order)
    assert outputs["diff"][0] == 0
    assert outputs["diff"][1].shape == want.shape
    with np.errstate(invalid="ignore"):
        close(outputs["diff"][1], want, 4 * order * EPS * scale, "diff")

    if window > n:
        for name in ("rolling_mean", "rolling_var", "rolling_std"):
            assert outputs[name][0] == -6, name
    else:
        mean, var, scale, unit = ref_rolling(x, window, ddof)
        assert outputs["rolling_mean"][0] == 0
        # Within a few hundred units in the last place of the window's mean |x|.
        close(outputs["rolling_mean"][1], mean, 1e-13 * scale, "rolling_mean")
        got_var, got_std = outputs["rolling_var"][1], outputs["rolling_std"][1]
        assert outputs["rolling_var"][0] == 0 and outputs["rolling_std"][0] == 0
        # About a thousand units in the last place of each window's own
        # variance (these data stay within a tenth of that).
        close(got_var, var, 2.5e-13 * var + unit, "rolling_var")
        with np.errstate(invalid="ignore"):
            close(got_std, np.sqrt(var), 1.25e-13 * np.sqrt(var) + np.sqrt(unit), "rolling_std")
            assert not (got_var < 0).any()
        np.testing.assert_array_equal(got_std, np.sqrt(got_var))

    # The user-transform step: the caller's function, once, on the step's lanes.
    ctx = tc.trova_mc_user_transform_step_ctx(column_means, n, p, 1, p)
    out, int_out = np.full(p + 1, GUARD), np.full(1, 5, dtype=np.int64)
    lane = x.ravel().copy()
    assert lib.trova_mc_user_transform_runner(0, tc.ptr(lane), tc.ptr(out), None, tc.ptr(int_out),
                                              ctypes.cast(ctypes.pointer(ctx), ctypes.c_void_p)) == 0
    assert int_out[0] == 0 and out[-1] == GUARD
    with np.errstate(invalid="ignore", over="ignore"):
        np.testing.assert_array_equal(out[:-1], x.mean(0))
