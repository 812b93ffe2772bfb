"""The Python arena-size functions against the native sizers of the same shared object."""
import gc
import io
import os
import re
import sys
from contextlib import redirect_stdout

import numpy as np
import pytest

import trova_ctypes as tc
from Tessaroventa._ckernels.monte_carlo import _arena as A

I64_MAX = 2**63 - 1
BIG = 2**62

# Function -> (parameter names, number of required ones, one valid positional call).
FUNCS = {
    "transform_arena_size": (("kind", "n", "p", "param"), 3, ("log", 4, 2)),
    "regression_arena_size": (("kind", "n", "p", "intercept", "n_alpha", "max_iter"), 4, ("ols", 10, 3, 1)),
    "simulation_arena_size": (("order", "n_state", "n_var", "n_exog", "T", "n_par"), 6, (1, 2, 3, 1, 20, 4)),
    "filter_arena_size": (("kind", "n_state", "n_ctrl", "n_exog", "n_obs", "T", "n_par"), 7,
                          ("linear", 2, 1, 1, 1, 20, 3)),
    "diagnostic_arena_size": (("kind", "n", "p", "lags"), 2, ("cusum", 30, 2)),
}
DOCS = {
    "transform_arena_size": "Return the complete input and scratch arena requirement for a transform.",
    "regression_arena_size": "Return the complete staged-input and work requirement for regression.",
    "simulation_arena_size": "Return the complete packed-input and work requirement for simulation.",
    "filter_arena_size": "Return the complete packed-input and Kalman-work requirement.",
    "diagnostic_arena_size": "Return the complete staged-input and work requirement for a diagnostic.",
}
FAMILY = {f: f.split("_")[0] for f in FUNCS}


# Function -> kind (or order) -> (staged input, work). Result: (input + work[0], work[1]).
# The staged blocks of a diagnostic lie one after another as its step lays
# them out (`blocks`: n p for a Wald test; n (p + 1) for y and X; 2 n (p + 1)
# for Breusch-Pagan's residuals, X and X with its intercept column).
ROWS = {
    "transform_arena_size": {
        "standardize": ("0", "trova_standardize_ax0_arena_size(n, p)"),
        "log": ("0", "trova_log_arena_size(n, p)"),
        "log_diff": ("0", "trova_log_diff_arena_size(n, p)"),
        **{k: ("0", f"trova_{k}_arena_size(n, p, param)") for k in ("diff", "rolling_mean", "rolling_var", "rolling_std")},
    },
    "regression_arena_size": {
        **{k: ("0", f"trova_mc_{k}_work_arena_size(n, p)") for k in ("ols", "ridge", "ridge_gs", "lasso", "elastic_net")},
        "lasso_gs": ("0", "trova_mc_lasso_gs_work_arena_size(n, p, intercept, n_alpha, max_iter)"),
        "elastic_net_gs": ("0", "trova_mc_elastic_net_gs_work_arena_size(n, p, intercept, n_alpha)"),
    },
    "simulation_arena_size": {
        1: ("0", "(trova_simulate_order1_arena_size(n_var, n_exog, T, n_par), 0)"),
        2: ("0", "(trova_simulate_order2_arena_size(n_state, n_var, n_exog, T, n_par), 0)"),
    },
    "filter_arena_size": {
        "linear": ("trova_filter_linear_input_arena_size(n_state + n_ctrl, n_obs, n_exog, T)",
                   "kf_arena_size(n_state + n_ctrl, n_obs, n_exog)"),
        "extended": ("trova_filter_extended_input_arena_size(n_state + n_ctrl, n_obs, n_exog, T, n_par)",
                     "ekf_arena_size(n_state + n_ctrl, n_obs, n_exog)"),
        "unscented": ("trova_filter_unscented_input_arena_size(n_state, n_ctrl, n_exog, n_obs, T, n_par)",
                      "ukf_arena_size(n_state, n_ctrl, n_exog, n_obs)"),
    },
    "diagnostic_arena_size": {
        **{f"wald_{k}": ("blocks(n * p)", f"trova_wald_{k}_hac_arena_size(n, p)")
           for k in ("mean", "covariance", "second_moment")},
        "ljung_box": ("blocks(n)", "trova_lb_arena_size(n, lags)"),
        "jarque_bera": ("blocks(n)", "(0, 0)"),
        "breusch_pagan": ("blocks(n, n * p, n * (p + 1))", "trova_bp_arena_size(n, p + 1)"),
        "breusch_godfrey": ("blocks(n, n * p)", "trova_bg_arena_size(n, p, lags)"),
        "chow": ("blocks(n, n * p)", "trova_chow_arena_size(p)"),
        **{k: ("blocks(n, n * p)", f"trova_{k}_arena_size(n, p)") for k in ("cusum", "cusumsq")},
    },
}
CASES = [(f, k) for f, rows in ROWS.items() for k in rows]


def blocks(*sizes):
    """The size of blocks of the given sizes placed one after another as the
    library places them (the sum, plus the layout gaps of a gap build)."""
    layout = tc.Layout()
    for size in sizes:
        layout.take(size)
    return layout.offset


def reference(lib, func, kind, dims):
    """The family's combination of native results; None when one of them is -1, which reads as the sentinel."""
    def sizer(name):
        def call(*args):
            r = getattr(lib, name)(*args)
            pair = (r, 0) if isinstance(r, int) else (r.n_float, r.n_int)
            if -1 in pair:
                raise LookupError
            return r if isinstance(r, int) else pair
        return call
    staged, work = ROWS[func][kind]
    names = {m: sizer(m) for m in re.findall(r"\w+_arena_size", f"{staged} {work}")}
    names["blocks"] = blocks
    try:
        size_in, (size_f, size_i) = (eval(e, names, dict(dims)) for e in (staged, work))
    except LookupError:
        return None
    return (size_in + size_f, size_i)


INTERCEPTS = [0, 1, True, False, [], [0], "", "x", 2.5, None]


@pytest.mark.parametrize("func,kind", CASES)
def test_matches_native_sizers(lib, rng, func, kind):
    names, fn, checked = FUNCS[func][0], getattr(A, func), 0
    while checked < 50:
        # Mostly small shapes, some negative ones: no dimension is range- or sign-checked.
        dims = {m: int(rng.integers(-4, 0)) if rng.random() < 0.15 else int(rng.integers(0, 40)) for m in names[1:]}
        if "intercept" in dims:
            dims["intercept"] = INTERCEPTS[rng.integers(len(INTERCEPTS))]
        want = reference(lib, func, kind, {k: int(bool(v)) if k == "intercept" else v for k, v in dims.items()})
        if want is None:  # a negative shape whose native result reads as the sentinel
            continue
        got = fn(kind, *(dims[m] for m in names[1:]))
        shuffled = list(names)
        rng.shuffle(shuffled)
        got_kw = fn(**{m: kind if m == names[0] else dims[m] for m in shuffled})
        assert type(got) is tuple and all(type(v) is int for v in got)
        assert got == got_kw == want, (dims, got, got_kw, want)
        checked += 1


@pytest.mark.parametrize("func,a,b", [
    ("transform", ("diff", 12, 3), ("diff", 12, 3, 0)),
    ("transform", ("log", 12, 3, 5), ("log", 12, 3)),
    ("transform", ("log", 10.7, 3.2), ("log", 10, 3)),
    ("transform", ("rolling_var", -2.9, 3, 4.99), ("rolling_var", -2, 3, 4)),
    ("simulation", (1, 3, 4, 2, 50, 6), (1, 97, 4, 2, 50, 6)),
    ("simulation", (2.9, 3, 4, 2, 50, 6), (2, 3, 4, 2, 50, 6)),
    ("filter", ("linear", 3, 2, 1, 2, 40, 5), ("linear", 5, 0, 1, 2, 40, 5)),
    ("filter", ("extended", 3, 2, 1, 2, 40, 5), ("extended", 1, 4, 1, 2, 40, 5)),
    ("diagnostic", ("ljung_box", 40), ("ljung_box", 40, 9, 0)),
    ("diagnostic", ("breusch_godfrey", 40), ("breusch_godfrey", 40, 0, 0)),
    ("diagnostic", ("cusum", np.int64(30), True), ("cusum", 30, 1)),
    ("regression", ("lasso_gs", 30, 4, []), ("lasso_gs", 30, 4, 0, 0, 0)),
    ("regression", ("lasso_gs", 30, 4, [0], 7, 9), ("lasso_gs", 30, 4, 1, 7, 9)),
    ("regression", ("elastic_net_gs", 30, 4, True), ("elastic_net_gs", 30, 4, 1, 0)),
])
def test_equivalent_calls(func, a, b):
    fn = getattr(A, func + "_arena_size")
    assert fn(*a) == fn(*b)


class Int:
    """An object converted through __int__, counting the conversions."""
    def __init__(self, v):
        self.v, self.seen = v, 0

    def __int__(self):
        self.seen += 1
        return self.v


class IntIndex(Int):
    def __index__(self):
        return 50


class Index:
    def __init__(self, v):
        self.v = v

    def __index__(self):
        return self.v


class MyStr(str):
    pass


def test_integer_conversions(lib):
    diff = lambda n, p, d: tuple(getattr(lib.trova_diff_arena_size(n, p, d), f) for f in ("n_float", "n_int"))
    assert A.transform_arena_size("diff", Int(9), Index(3), 2) == diff(9, 3, 2)
    assert A.transform_arena_size("diff", IntIndex(9), 3, Index(2)) == diff(9, 3, 2)  # __int__ first
    assert A.transform_arena_size("log", -3, 2) == tuple(getattr(lib.trova_log_arena_size(-3, 2), f)
                                                         for f in ("n_float", "n_int"))
    for bad in (2**63, -2**63 - 1, Int(2**64), Index(-2**70)):
        with pytest.raises(OverflowError):
            A.transform_arena_size("log", 4, bad)
    for order in (2**31, -2**31 - 1, 2**70, -2**70, Int(2**40)):
        with pytest.raises(OverflowError, match=r"^value too large to convert to int$"):
            A.simulation_arena_size(order, 1, 1, 1, 1, 1)


def unsupported(family, kind):
    return f"Unsupported native {family} kind: {kind!r}."


def kind_type(tname):
    return f"Argument 'kind' has incorrect type (expected str, got {tname})"


FAILURES = [
    *[(f, (k,) + FUNCS[f][2][1:], ValueError, unsupported(FAMILY[f], k))
      for f in FUNCS if f != "simulation_arena_size"
      for k in (None, FUNCS[f][2][0].upper(), "nope", FUNCS[f][2][0] + " ", FUNCS[f][2][0] + "\x00", "")],
    *[(f, (k,) + FUNCS[f][2][1:], TypeError, kind_type(t))
      for f in FUNCS if f != "simulation_arena_size"
      for k, t in ((5, "int"), (MyStr(FUNCS[f][2][0]), "MyStr"), (b"log", "bytes"))],
    *[("simulation_arena_size", (o, 1, 1, 1, 1, 1), ValueError, f"Unsupported native simulation order: {o}.")
      for o in (0, 3, -1, 2**31 - 1, -2**31)],
    ("transform_arena_size", ("log", "4", 2), TypeError, "an integer is required"),
    ("transform_arena_size", ("nope", 4, None), TypeError, "an integer is required"),  # convert before match
    ("diagnostic_arena_size", (5, "x"), TypeError, kind_type("int")),  # first parameter wins
    ("simulation_arena_size", (3, 1, 1, 1, 1, object()), TypeError, "an integer is required"),
    ("filter_arena_size", ("linear", 1, 1, 1, 1, 1, [2]), TypeError, "an integer is required"),
]


@pytest.mark.parametrize("func,args,exc,msg", FAILURES)
def test_failures(func, args, exc, msg):
    with pytest.raises(exc) as err:
        getattr(A, func)(*args)
    assert type(err.value) is exc and str(err.value) == msg


def test_first_failing_conversion_stops_the_rest():
    later = Int(3)
    with pytest.raises(TypeError, match="incorrect type"):
        A.filter_arena_size(7, later, later, later, later, later, later)
    with pytest.raises(TypeError, match="an integer is required"):
        A.transform_arena_size("log", "bad", later, later)
    class Falsy:
        def __bool__(self):
            raise ZeroDivisionError("truth")
    with pytest.raises(ZeroDivisionError):
        A.regression_arena_size("nope", 3, 2, Falsy(), later)
    assert later.seen == 0


def binding_cases():
    for f, (names, req, valid) in FUNCS.items():
        n, exact = len(names), req == len(names)
        most = f"{f}() takes {'exactly' if exact else 'at most'} {n} positional arguments ({n + 1} given)"
        least = f"{f}() takes {'exactly' if exact else 'at least'} {req} positional arguments (%d given)"
        yield f, (valid + (0,) * n)[:n] + (1,), {}, most
        yield f, (None,) * (n + 1), {}, most  # binding comes before any conversion
        yield f, valid[:1], {}, least % 1
        yield f, (), {}, least % 0
        yield f, (object(),), {names[2]: 1}, f"{f}() missing required argument '{names[1]}' (pos 2)"
        yield f, valid, {"bogus": 1}, f"'bogus' is an invalid keyword argument for {f}()"
        yield f, valid, {names[1]: 1}, f"argument for {f}() given by name ('{names[1]}') and position (2)"


@pytest.mark.parametrize("func,args,kwargs,msg", list(binding_cases()))
def test_argument_binding(func, args, kwargs, msg):
    with pytest.raises(TypeError) as err:
        getattr(A, func)(*args, **kwargs)
    assert str(err.value) == msg


def overflow_cases():
    mx, half = I64_MAX, I64_MAX // 2
    # (function, arguments, native call expected to report the sentinel or None)
    yield "transform_arena_size", ("log", 2**40, 2**40), ("trova_log_arena_size", (2**40, 2**40))
    yield "transform_arena_size", ("rolling_std", BIG, BIG, 3), ("trova_rolling_std_arena_size", (BIG, BIG, 3))
    yield "regression_arena_size", ("ols", BIG, BIG, 1), ("trova_mc_ols_work_arena_size", (BIG, BIG))
    yield "regression_arena_size", ("lasso_gs", 10, 3, 1, BIG, BIG), \
        ("trova_mc_lasso_gs_work_arena_size", (10, 3, 1, BIG, BIG))
    yield "simulation_arena_size", (1, 0, 3, BIG, BIG, 2), ("trova_simulate_order1_arena_size", (3, BIG, BIG, 2))
    yield "simulation_arena_size", (2, 3, 4, 2, BIG, 2), ("trova_simulate_order2_arena_size", (3, 4, 2, BIG, 2))
    yield "filter_arena_size", ("linear", mx, mx, 1, 1, 1, 1), None  # stacked dimension (wraps to -2)
    yield "filter_arena_size", ("extended", mx, 2, 1, 1, 1, 1), None
    yield "filter_arena_size", ("extended", 2, 1, 1, 4, BIG, 3), \
        ("trova_filter_extended_input_arena_size", (3, 4, 1, BIG, 3))
    yield "filter_arena_size", ("unscented", BIG, 2, 1, 1, 5, 1), ("ukf_arena_size", (BIG, 2, 1, 1))
    yield "diagnostic_arena_size", ("wald_mean", BIG, 4), None  # staged n*p
    yield "diagnostic_arena_size", ("breusch_pagan", 0, mx), None  # p + 1
    yield "diagnostic_arena_size", ("chow", half, 1), None  # staged input fits, the sum with work does not
    yield "diagnostic_arena_size", ("cusum", BIG, BIG), ("trova_cusum_arena_size", (BIG, BIG))


@pytest.mark.parametrize("func,args,sentinel", list(overflow_cases()))
def test_overflow(lib, func, args, sentinel):
    with pytest.raises(OverflowError) as err:
        getattr(A, func)(*args)
    assert str(err.value) == f"Native {FAMILY[func]} arena size does not fit in 64 bits."
    if sentinel:
        r = getattr(lib, sentinel[0])(*sentinel[1])
        assert (r == -1) if isinstance(r, int) else (r.n_float, r.n_int) == (-1, -1)


def test_filter_input_plus_work_overflows(lib):
    # Choose T so the packed input alone is the largest count that fits, then any work tips it over.
    # (The size is base + step T from T = 1 on: a layout gap follows the observations only when there are some.)
    step = lib.trova_filter_linear_input_arena_size(3, 2, 1, 2) - lib.trova_filter_linear_input_arena_size(3, 2, 1, 1)
    base = lib.trova_filter_linear_input_arena_size(3, 2, 1, 1) - step
    T = (I64_MAX - base) // step
    assert lib.trova_filter_linear_input_arena_size(3, 2, 1, T) == base + step * T
    assert base + step * T + lib.kf_arena_size(3, 2, 1).n_float > I64_MAX
    fits = T - 2**40
    want = base + step * fits + lib.kf_arena_size(3, 2, 1).n_float
    assert A.filter_arena_size("linear", 2, 1, 1, 2, fits, 0) == (want, lib.kf_arena_size(3, 2, 1).n_int)
    with pytest.raises(OverflowError, match=r"^Native filter arena size does not fit in 64 bits\.$"):
        A.filter_arena_size("linear", 2, 1, 1, 2, T, 0)


def test_module_and_function_docs():
    assert A.__doc__ == ("Native Monte Carlo arena-size boundary.\n\n"
                         "Python's pipeline compiler owns shape resolution. This module exposes the C\n"
                         "arena sizers so its allocation plan always follows the native kernel contract.\n")
    assert sorted(n for n in dir(A) if n.endswith("_arena_size")) == sorted(FUNCS)
    out = io.StringIO()
    with redirect_stdout(out):
        help(A)
    for name, doc in DOCS.items():
        fn, (names, req, _) = getattr(A, name), FUNCS[name]
        assert fn.__name__ == name and fn.__doc__ == doc
        shown = ", ".join(names[:req] + tuple(f"{m}=0" for m in names[req:]))
        assert f"{name}({shown})\n        {doc}\n" in out.getvalue()


def rss_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def test_no_state_and_no_leaks():
    # Fresh objects, none of them cached by the interpreter.
    n, x = int("1337"), float("12.75")
    kind, bad = "".join(["cu", "sum"]), "".join(["lo", "gz"])
    sub, huge = MyStr("lin" + "ear"), 2**64 + n
    good = [(A.diagnostic_arena_size, (kind, n, x), {}),
            (A.simulation_arena_size, (2, n, n, x, n, n), {}),
            (A.filter_arena_size, (), dict(n_par=n, T=x, n_obs=n, n_exog=n, n_ctrl=n, n_state=n, kind="linear")),
            (A.regression_arena_size, ("lasso_gs", n, n, x, n, n), {}),
            (A.transform_arena_size, ("rolling_std", x, n, n), {})]
    failing = [(A.transform_arena_size, (bad, n, x), {}, ValueError),
               (A.filter_arena_size, (sub, n, n, n, n, n, n), {}, TypeError),
               (A.regression_arena_size, ("ols", n, huge, x), {}, OverflowError),
               (A.diagnostic_arena_size, (kind, n, x), dict(lags=n, bogus=x), TypeError),
               (A.filter_arena_size, ("linear", BIG, BIG, n, n, n, n), {}, OverflowError),
               (A.simulation_arena_size, (huge, n, n, n, n, n), {}, OverflowError)]
    first = [fn(*a, **k) for fn, a, k in good]
    objs = [n, x, kind, bad, sub, huge]
    counts = [sys.getrefcount(o) for o in objs]

    def rounds(k):
        raised = 0
        for _ in range(k):
            for fn, a, kw in good:
                fn(*a, **kw)
            for fn, a, kw, exc in failing:
                try:
                    fn(*a, **kw)
                except exc:
                    raised += 1
        return raised

    assert rounds(20000) == 6 * 20000
    gc.collect()
    rss0 = rss_bytes()
    assert rounds(70000) == 6 * 70000  # 1,000,000 calls over both batches
    gc.collect()
    assert rss_bytes() - rss0 < 2 * 1024 * 1024
    assert [sys.getrefcount(o) for o in objs] == counts
    assert [fn(*a, **k) for fn, a, k in good] == first
