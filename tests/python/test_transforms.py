"""Series transforms against NumPy: the kernels on long series (including a
level of 1e8 with a spread of 1e-3, where a sum-of-squares formula keeps no
digit), the sizers, the step functions with their status rule, and pipelines
run by trova_mc_run, a user transform among them."""
import ctypes
import math

import numpy as np
import pytest

import trova_ctypes as tc

INT64_MIN = np.iinfo(np.int64).min
INT_MAX, INT_MIN = 2**31 - 1, -(2**31)
GUARD = -777.25  # fills scratch and output; must survive where nothing is written
N, P = 100_000, 4


def series(rng, kind, n=N, p=P):
    z = rng.standard_normal((n, p))
    return z if kind == "unit" else 1e8 + 1e-3 * z


def positive(rng, n, p):
    return np.exp(rng.standard_normal((n, p)))


# Per transform: kernel call, context, output rows and sizer, over the
# parameters prm (ddof, offset, order, window).
TRANSFORMS = {
    "standardize": (lambda L, x, n, p, k, s, o: L.trova_standardize_ax0(x, k["ddof"], n, p, s, o),
                    lambda n, p, k: tc.trova_mc_standardize_step_ctx(n, p, k["ddof"]),
                    lambda n, k: n, lambda L, n, p, k: L.trova_standardize_ax0_arena_size(n, p)),
    "log": (lambda L, x, n, p, k, s, o: L.trova_log(x, k["offset"], n, p, o),
            lambda n, p, k: tc.trova_mc_log_step_ctx(n, p, k["offset"]),
            lambda n, k: n, lambda L, n, p, k: L.trova_log_arena_size(n, p)),
    "log_diff": (lambda L, x, n, p, k, s, o: L.trova_log_diff(x, k["offset"], n, p, s, o),
                 lambda n, p, k: tc.trova_mc_log_diff_step_ctx(n, p, k["offset"]),
                 lambda n, k: n - 1, lambda L, n, p, k: L.trova_log_diff_arena_size(n, p)),
    "diff": (lambda L, x, n, p, k, s, o: L.trova_diff(x, k["order"], n, p, s, o),
             lambda n, p, k: tc.trova_mc_diff_step_ctx(n, p, k["order"]),
             lambda n, k: n - k["order"], lambda L, n, p, k: L.trova_diff_arena_size(n, p, k["order"])),
    "rolling_mean": (lambda L, x, n, p, k, s, o: L.trova_rolling_mean(x, n, p, k["window"], s, o),
                     lambda n, p, k: tc.trova_mc_rolling_mean_step_ctx(n, p, k["window"]),
                     lambda n, k: n - k["window"] + 1,
                     lambda L, n, p, k: L.trova_rolling_mean_arena_size(n, p, k["window"])),
    "rolling_var": (lambda L, x, n, p, k, s, o: L.trova_rolling_var(x, n, p, k["window"], k["ddof"], s, o),
                    lambda n, p, k: tc.trova_mc_rolling_var_step_ctx(n, p, k["window"], k["ddof"]),
                    lambda n, k: n - k["window"] + 1,
                    lambda L, n, p, k: L.trova_rolling_var_arena_size(n, p, k["window"])),
    "rolling_std": (lambda L, x, n, p, k, s, o: L.trova_rolling_std(x, n, p, k["window"], k["ddof"], s, o),
                    lambda n, p, k: tc.trova_mc_rolling_std_step_ctx(n, p, k["window"], k["ddof"]),
                    lambda n, k: n - k["window"] + 1,
                    lambda L, n, p, k: L.trova_rolling_std_arena_size(n, p, k["window"])),
}


def run(lib, name, x, **prm):
    """Runs a kernel on x with guard-filled scratch (as sized) and output (one
    spare row); returns (status, output rows, scratch). Checks the spare row."""
    kernel, _, rows, sizer = TRANSFORMS[name]
    n, p = x.shape
    scratch = np.full(max(sizer(lib, n, p, prm).n_float - n * p, 0) + 1, GUARD)
    out = np.full((max(rows(n, prm), 0) + 1, p), GUARD)
    status = kernel(lib, tc.ptr(np.ascontiguousarray(x)), n, p, prm, tc.ptr(scratch), tc.ptr(out))
    assert np.all(out[-1] == GUARD) and scratch[-1] == GUARD, "wrote past its output or scratch"
    return status, out[:-1], scratch[:-1]


def ok(lib, name, x, **prm):
    status, out, _ = run(lib, name, x, **prm)
    assert status == 0
    return out


# ---- references: extended precision, about the first row (exact for the level series) ----

def about_first_row(x):
    xl = x.astype(np.longdouble)
    return xl - xl[0]


def ref_windows(x, w, stat):
    """stat(window view, centred) for every window, in chunks of bounded size."""
    d = about_first_row(x)
    n, p = x.shape
    out = np.empty((n - w + 1, p), dtype=np.longdouble)
    step = max(1, 2_000_000 // (p * w))
    for s in range(0, n - w + 1, step):
        v = np.lib.stride_tricks.sliding_window_view(d[s:s + step + w - 1], w, axis=0)
        out[s:s + v.shape[0]] = stat(v)
    return out


def ref_rolling_var(x, w, ddof):
    return ref_windows(x, w, lambda v: ((v - v.mean(-1, keepdims=True)) ** 2).sum(-1) / (w - ddof))


def ref_rolling_mean(x, w):
    return ref_windows(x, w, lambda v: v.mean(-1)) + x[0].astype(np.longdouble)


# ---- kernels against NumPy ----

@pytest.mark.parametrize("kind", ["unit", "level"])
@pytest.mark.parametrize("ddof", [0, 1, 5])
def test_standardize(lib, rng, kind, ddof):
    x = series(rng, kind)
    d = about_first_row(x)
    dev = d - d.mean(0)
    want = dev / np.sqrt((dev * dev).sum(0) / (N - ddof))
    np.testing.assert_allclose(ok(lib, "standardize", x, ddof=ddof), want.astype(float), rtol=0, atol=2e-13)


def test_standardize_degenerate_columns(lib):
    # A constant column (at a large level, too) standardises to zeros; NaN spreads over its column.
    x = np.array([[1.0, 5.0, 1e8, 2.0], [3.0, 5.0, 1e8, np.nan], [5.0, 5.0, 1e8, 1.0]])
    out = ok(lib, "standardize", x, ddof=0)
    np.testing.assert_allclose(out[:, 0], [-np.sqrt(1.5), 0.0, np.sqrt(1.5)], rtol=1e-15)
    np.testing.assert_array_equal(out[:, 1:3], 0.0)
    assert np.isnan(out[:, 3]).all()
    # [1, 3] with ddof 1: mean 2, variance 2.
    np.testing.assert_allclose(ok(lib, "standardize", np.array([[1.0], [3.0]]), ddof=1)[:, 0],
                               [-1 / np.sqrt(2), 1 / np.sqrt(2)], rtol=1e-15)


@pytest.mark.parametrize("offset", [0.0, 0.5, -0.25])
def test_log_and_log_diff(lib, rng, offset):
    x = positive(rng, N, P) - min(offset, 0.0)
    logs = np.log(x + offset)
    np.testing.assert_allclose(ok(lib, "log", x, offset=offset), logs, rtol=1e-15, atol=0)
    np.testing.assert_allclose(ok(lib, "log_diff", x, offset=offset), np.diff(logs, axis=0),
                               rtol=0, atol=4 * np.finfo(float).eps * np.abs(logs).max())


def test_log_of_non_positive_arguments(lib):
    x = np.array([[0.0, -1.0, 2.0], [1.0, 1.0, -2.0], [np.inf, np.nan, 0.0]])
    with np.errstate(divide="ignore", invalid="ignore"):
        logs, diffs = np.log(x), np.diff(np.log(x + 1.0), axis=0)
    np.testing.assert_array_equal(ok(lib, "log", x, offset=0.0), logs)
    np.testing.assert_array_equal(ok(lib, "log_diff", x, offset=1.0), diffs)
    # One row has no difference: status 0, nothing written.
    assert ok(lib, "log_diff", x[:1], offset=0.0).shape == (0, 3)


@pytest.mark.parametrize("order", [1, 2, 3, 8])
def test_diff(lib, rng, order):
    x = rng.standard_normal((2000, 5))
    np.testing.assert_allclose(ok(lib, "diff", x, order=order), np.diff(x, n=order, axis=0),
                               rtol=0, atol=2**order * 1e-15 * np.abs(x).max())
    # Integer powers: the order-th difference of t^order is order!, exactly.
    t = np.arange(1.0, 41.0)[:, None] ** order
    np.testing.assert_array_equal(ok(lib, "diff", t, order=order), math.factorial(order))
    # n <= order: the stack only fills, nothing is written.
    assert ok(lib, "diff", x[:order], order=order).shape == (0, 5)


@pytest.mark.parametrize("kind", ["unit", "level"])
@pytest.mark.parametrize("window", [1, 2, 7, 64, 500])
def test_rolling_mean(lib, rng, kind, window):
    x = series(rng, kind)
    want = ref_rolling_mean(x, window).astype(float)
    got = ok(lib, "rolling_mean", x, window=window)
    if kind == "level":  # within a unit in the last place of the level
        np.testing.assert_allclose(got, want, rtol=0, atol=np.spacing(1e8))
    else:
        np.testing.assert_allclose(got, want, rtol=0, atol=1e-12)


@pytest.mark.parametrize("kind", ["unit", "level"])
@pytest.mark.parametrize("window,ddof", [(1, 0), (2, 1), (7, 0), (7, 1), (64, 1), (500, 3)])
def test_rolling_var_and_std(lib, rng, kind, window, ddof):
    x = series(rng, kind)
    var = ok(lib, "rolling_var", x, window=window, ddof=ddof)
    std = ok(lib, "rolling_std", x, window=window, ddof=ddof)
    # The running updates drift by a few units in the 13th digit of the column's variance.
    scale = x.var(axis=0)
    np.testing.assert_allclose(var / scale, ref_rolling_var(x, window, ddof).astype(float) / scale,
                               rtol=0, atol=1e-10)
    assert (var >= 0).all()
    np.testing.assert_array_equal(std, np.sqrt(var))
    if window == 1:
        np.testing.assert_array_equal(var, 0.0)


def test_rolling_window_equal_to_n_gives_column_statistics(lib, rng):
    x = series(rng, "level", n=1000)
    np.testing.assert_allclose(ok(lib, "rolling_mean", x, window=1000)[0], x.mean(0), rtol=1e-15)
    np.testing.assert_allclose(ok(lib, "rolling_var", x, window=1000, ddof=1)[0],
                               (x - x[0]).var(0, ddof=1), rtol=1e-12)


def test_rolling_moments_of_constant_columns_are_zero(lib, rng):
    # Constant at several levels, then a column that steps between two
    # neighbouring doubles: no negative or NaN rounding residue.
    n = 5000
    x = np.empty((n, 4))
    x[:, 0], x[:, 1], x[:, 2] = 3.0, -1e12, 0.1
    x[:, 3] = np.where(rng.random(n) < 0.5, 1e8, np.nextafter(1e8, 2e8))
    for name in ("rolling_var", "rolling_std"):
        for window in (1, 3, 50):
            out = ok(lib, name, x, window=window, ddof=1 if window > 1 else 0)
            np.testing.assert_array_equal(out[:, :3], 0.0)
            assert np.isfinite(out).all() and (out >= 0).all()


@pytest.mark.parametrize("window", [3, 20])
def test_rolling_moments_after_spikes_stay_non_negative(lib, rng, window):
    # Removing a spike of up to 1e8 from a window leaves a residue at the
    # rounding level of its square, of either sign; negative ones are clamped.
    n, pc = 20_000, 5
    x = np.repeat(rng.standard_normal((n // 100, pc)), 100, axis=0)
    spikes = rng.random((n, pc)) < 0.01
    x[spikes] += rng.choice([-1.0, 1.0], spikes.sum()) * 10.0 ** rng.uniform(2, 8, spikes.sum())
    var = ok(lib, "rolling_var", x, window=window, ddof=1)
    assert (var >= 0).all()
    np.testing.assert_allclose(var, ref_rolling_var(x, window, 1).astype(float),
                               rtol=0, atol=1e-14 * np.abs(x).max() ** 2)


def test_nan_reaches_exactly_the_windows_that_contain_it(lib, rng):
    x = rng.standard_normal((200, 3))
    y = x.copy()
    y[120, 1] = np.nan
    for name, prm in (("rolling_mean", {"window": 10}), ("rolling_var", {"window": 10, "ddof": 1})):
        clean, dirty = ok(lib, name, x, **prm), ok(lib, name, y, **prm)
        np.testing.assert_array_equal(dirty[:111], clean[:111])
        assert np.isnan(dirty[111:121, 1]).all()
        np.testing.assert_array_equal(dirty[:, [0, 2]], clean[:, [0, 2]])


# ---- sizers, invalid dimensions, runners ----

@pytest.mark.parametrize("n,p,param", [(1, 1, 1), (100, 4, 7), (0, 3, 2), (-5, 3, 1), (7, -2, 9), (2**40, 2, 3)])
def test_sizers(lib, gapless, n, p, param):
    if not gapless:
        pytest.skip("layout gaps change the sizes")
    want = {"standardize": p * (n + 2), "log": n * p, "log_diff": p + n * p, "diff": p * (n + param),
            "rolling_mean": p * (n + 7), "rolling_var": p * (n + 5), "rolling_std": p * (n + 5)}
    for name, size in want.items():
        got = TRANSFORMS[name][3](lib, n, p, {"order": param, "window": param})
        assert (got.n_float, got.n_int) == (size, 0), name


def test_sizer_too_large_for_64_bits_reports_minus_one(lib):
    assert lib.trova_rolling_var_arena_size(2**62, 4, 5).n_float == -1
    assert lib.trova_diff_arena_size(2**42, 2**20, 2**42).n_float == -1  # each block fits, not both
    assert lib.trova_log_arena_size(-(2**62), 4).n_float == -1


INVALID = [
    ("standardize", 0, 2, {"ddof": 0}), ("standardize", 3, 0, {"ddof": 0}),
    ("standardize", 3, 2, {"ddof": 3}), ("standardize", 3, 2, {"ddof": 2**63 - 1}),
    ("log", 0, 2, {"offset": 1.0}), ("log", 2, -1, {"offset": 1.0}),
    ("log_diff", 0, 2, {"offset": 1.0}), ("log_diff", 3, 0, {"offset": 1.0}),
    ("diff", 3, 2, {"order": 0}), ("diff", 3, 2, {"order": -1}), ("diff", 0, 2, {"order": 1}),
    ("diff", 3, 0, {"order": 1}),
    ("rolling_mean", 3, 2, {"window": 0}), ("rolling_mean", 3, 2, {"window": 4}),
    ("rolling_mean", 0, 2, {"window": 1}), ("rolling_mean", 3, 0, {"window": 1}),
    ("rolling_var", 3, 2, {"window": 0, "ddof": 0}), ("rolling_var", 3, 2, {"window": 4, "ddof": 0}),
    ("rolling_var", 3, 2, {"window": 1, "ddof": 1}), ("rolling_var", 5, 2, {"window": 3, "ddof": 3}),
    ("rolling_var", 3, 0, {"window": 1, "ddof": 0}), ("rolling_var", 3, 2, {"window": 2, "ddof": 2**63 - 1}),
    ("rolling_std", 3, 2, {"window": 1, "ddof": 1}), ("rolling_std", 2, 2, {"window": 3, "ddof": 0}),
]


def call_runner(lib, name, x, int_out, prm):
    """Calls the named step function on a lane [x | guard scratch]; returns (status, output)."""
    _, make_ctx, rows, sizer = TRANSFORMS[name]
    n, p = x.shape
    lane = np.full(max(sizer(lib, n, p, prm).n_float, x.size, 1), GUARD)
    lane[:x.size] = x.ravel()
    out = np.full(max(rows(n, prm) * p, 1), GUARD)
    ctx = make_ctx(n, p, prm)
    fn = getattr(lib, f"trova_mc_{name}_runner")
    status = fn(7, tc.ptr(lane), tc.ptr(out), None, None if int_out is None else tc.ptr(int_out),
                ctypes.cast(ctypes.pointer(ctx), ctypes.c_void_p))
    return status, out


@pytest.mark.parametrize("name,n,p,prm", INVALID)
def test_invalid_dimensions_write_nothing_and_fail_the_step(lib, rng, name, n, p, prm):
    x = rng.standard_normal((max(n, 1), max(p, 1)))[:max(n, 0), :max(p, 0)]
    kernel = TRANSFORMS[name][0]
    out, scratch = np.full(64, GUARD), np.full(64, GUARD)
    assert kernel(lib, tc.ptr(np.ascontiguousarray(x)), n, p, prm, tc.ptr(scratch), tc.ptr(out)) == -6
    assert (out == GUARD).all() and (scratch == GUARD).all()
    if n >= 0 and p >= 0:
        int_out = np.zeros(1, dtype=np.int64)
        status, out = call_runner(lib, name, x, int_out, prm)
        assert status == -6 and int_out[0] == -6 and (out == GUARD).all()


PARAMS = {"standardize": {"ddof": 1}, "log": {"offset": 0.5}, "log_diff": {"offset": 0.5},
          "diff": {"order": 2}, "rolling_mean": {"window": 6}, "rolling_var": {"window": 6, "ddof": 1},
          "rolling_std": {"window": 6, "ddof": 0}}


@pytest.mark.parametrize("name", sorted(TRANSFORMS))
def test_runner_reads_its_lane_and_reports_status(lib, rng, name):
    x = positive(rng, 40, 5)
    want = ok(lib, name, x, **PARAMS[name]).ravel()
    for int_out in (np.full(1, 99, dtype=np.int64), None):
        status, out = call_runner(lib, name, x, int_out, PARAMS[name])
        assert status == 0
        np.testing.assert_array_equal(out, want)
        if int_out is not None:
            assert int_out[0] == 0


# ---- pipelines ----

def bind_batched(p, step, data):
    """Binds replication r's n x p block of data (n_rep x n x p) to the start of the step's lane."""
    n_rep, n, pc = data.shape
    p.bind(step, -2, 0, n_rows=n, columns=np.arange(pc), source_row_stride=pc,
           static=data.reshape(-1), static_rep_stride=n * pc, static_batched=True)


def test_every_transform_as_a_pipeline_step(lib, rng):
    n_rep, n, pc = 9, 60, 3
    data = positive(rng, n_rep * n, pc).reshape(n_rep, n, pc)
    pipe = tc.Pipeline(n_rep, n_workers=2)
    for name in sorted(TRANSFORMS):
        _, make_ctx, rows, sizer = TRANSFORMS[name]
        prm = PARAMS[name]
        s = pipe.add_step(tc.fn_address(lib, f"trova_mc_{name}_runner"), make_ctx(n, pc, prm),
                          n_in=sizer(lib, n, pc, prm).n_float, n_out=rows(n, prm) * pc, n_int_out=1)
        bind_batched(pipe, s, data)
    # A window longer than the series fails every replication at the last step with -6.
    bad = tc.trova_mc_rolling_mean_step_ctx(n, pc, n + 1)
    pipe.add_step(tc.fn_address(lib, "trova_mc_rolling_mean_runner"), bad, n_in=n * pc + pc, n_out=pc,
                  n_int_out=1)
    bind_batched(pipe, len(TRANSFORMS), data)
    assert pipe.run() == 0
    np.testing.assert_array_equal(pipe.failure_step, len(TRANSFORMS))
    np.testing.assert_array_equal(pipe.failure_status, -6)
    for step in pipe.steps:
        assert np.isnan(step["retained"]).all() and (step["int_retained"] == INT64_MIN).all()
    # Without the failing step every replication completes with each kernel's result.
    pipe.steps.pop()
    assert pipe.run() == 0
    np.testing.assert_array_equal(pipe.failure_step, -1)
    for step, name in zip(pipe.steps, sorted(TRANSFORMS)):
        want = np.stack([ok(lib, name, data[r], **PARAMS[name]).ravel() for r in range(n_rep)])
        np.testing.assert_array_equal(step["retained"], want)
        np.testing.assert_array_equal(step["int_retained"], 0)


# Statuses a user transform returns (encoded in its input's first cell) and
# what the runner reports: the int range saturates, so no failure reads as 0.
USER_STATUS = [(0, 0), (7, 7), (-3, -3), (2**32, INT_MAX), (-(2**40), INT_MIN), (2**31, INT_MAX)]


@tc.user_transform_fn
def column_sums_and_products(inp, out, n_in, p_in, n_out, p_out):
    """out = [column sums; column products] of the input; returns the code in its first cell."""
    x = np.ctypeslib.as_array(inp, shape=(n_in, p_in))
    y = np.ctypeslib.as_array(out, shape=(n_out, p_out))
    y[0], y[1] = x.sum(0), x.prod(0)
    return int(x[0, 0])


def test_user_transform_through_the_runner(lib, rng):
    n_rep, n, pc = 12, 5, 3
    data = rng.uniform(0.5, 1.5, (n_rep, n, pc))
    codes = [USER_STATUS[r % len(USER_STATUS)] for r in range(n_rep)]
    data[:, 0, 0] = [c for c, _ in codes]
    ctx = tc.trova_mc_user_transform_step_ctx(column_sums_and_products, n, pc, 2, pc)
    pipe = tc.Pipeline(n_rep, n_workers=2)
    s = pipe.add_step(tc.fn_address(lib, "trova_mc_user_transform_runner"), ctx, n_in=n * pc,
                      n_out=2 * pc, n_int_out=1)
    bind_batched(pipe, s, data)
    assert pipe.run() == 0
    for r, (code, reported) in enumerate(codes):
        if code == 0:
            assert pipe.failure_step[r] == -1 and pipe.steps[0]["int_retained"][r, 0] == 0
            np.testing.assert_allclose(pipe.steps[0]["retained"][r], np.r_[data[r].sum(0), data[r].prod(0)],
                                       rtol=1e-15)
        else:
            assert (pipe.failure_step[r], pipe.failure_status[r]) == (0, reported)
            assert np.isnan(pipe.steps[0]["retained"][r]).all()
    # Called directly, the step keeps the whole i64 status in int_out[0].
    int_out = np.zeros(1, dtype=np.int64)
    lane, out = np.ascontiguousarray(data[3].ravel()), np.zeros(2 * pc)
    status = lib.trova_mc_user_transform_runner(3, tc.ptr(lane), tc.ptr(out), None, tc.ptr(int_out),
                                                ctypes.cast(ctypes.pointer(ctx), ctypes.c_void_p))
    assert (status, int_out[0]) == (INT_MAX, 2**32)
