"""The _arena module under heap exhaustion. Every call below runs once per
allocation it makes, with that allocation failing (hooks on all three of
CPython's allocator domains, tests/support/py_alloc_fail.c): it must raise
MemoryError or give its normal outcome (its result, or the exception it
raises anyway), never another error, a result with an exception set or a
crash, and it must free every block it took."""
import ctypes
import gc
import os
import sys

import pytest

from Tessaroventa._ckernels.monte_carlo import _arena as A

I64_MAX = 2**63 - 1


class Index:
    def __init__(self, v):
        self.v = v

    def __index__(self):
        return self.v


class Int:
    def __init__(self, v):
        self.v = v

    def __int__(self):
        return self.v


class Raises:
    def __index__(self):
        raise RuntimeError("no integer")


class BadBool:
    def __bool__(self):
        raise RuntimeError("no truth value")


class Str(str):
    pass


T, R, S, F, D = (A.transform_arena_size, A.regression_arena_size, A.simulation_arena_size,
                 A.filter_arena_size, A.diagnostic_arena_size)
TRANSFORMS = ("standardize", "log", "log_diff", "diff", "rolling_mean", "rolling_var", "rolling_std")
REGRESSIONS = ("ols", "ridge", "ridge_gs", "lasso", "lasso_gs", "elastic_net", "elastic_net_gs")
FILTERS = ("linear", "extended", "unscented")
DIAGNOSTICS = ("wald_mean", "wald_covariance", "wald_second_moment", "ljung_box", "jarque_bera",
               "breusch_pagan", "breusch_godfrey", "chow", "cusum", "cusumsq")

# (function, positional arguments, keyword arguments): every kind of every
# family with large shapes (results beyond the small-int cache), keyword and
# default binding, every conversion, and every error the module raises.
CASES = (
    [(T, (k, 5000, 40, 12), {}) for k in TRANSFORMS]
    + [(R, (k, 4000, 30, 1, 25, 300), {}) for k in REGRESSIONS]
    + [(S, (o, 6, 9, 3, 400, 12), {}) for o in (1, 2)]
    + [(F, (k, 6, 3, 2, 4, 500, 7), {}) for k in FILTERS]
    + [(D, (k, 3000, 6, 8), {}) for k in DIAGNOSTICS]
    + [
        (T, (), dict(param=Index(7), p=Int(300), n=3000.9, kind="rolling_var")),
        (T, ("diff", 9000, 700), {}),
        (R, ("lasso_gs",), dict(n=Index(4000), p=20, intercept=[], max_iter=Int(900))),
        (S, (2.7, 6, 9, 3), dict(n_par=1000, T=Index(400))),
        (F, (), dict(n_par=9, T=800, n_obs=3, n_exog=2, n_ctrl=4, n_state=5, kind="unscented")),
        (D, ("breusch_pagan", 3000), dict(p=Index(5))),
        # errors
        (T, ("LOG", 5000, 40), {}),
        (T, (None, 5000, 40), {}),
        (T, (7, 5000, 40), {}),
        (T, (Str("log"), 5000, 40), {}),
        (T, ("log", 5000), {}),
        (T, ("log", 5000, 40, 1, 2), {}),
        (T, ("log", 5000, 40), dict(window=3)),
        (T, ("log", 5000, 40), dict(n=5000)),
        (T, ("log", 2**63, 40), {}),
        (T, ("log", Raises(), 40), {}),
        (T, ("log", object(), 40), {}),
        (T, ("rolling_std", I64_MAX, I64_MAX, 3), {}),
        (R, ("ols", 10, 3, BadBool()), {}),
        (S, (3, 6, 9, 3, 400, 12), {}),
        (S, (-2**31 - 1, 6, 9, 3, 400, 12), {}),
        (S, (2**31, 6, 9, 3, 400, 12), {}),
        (F, ("kalman", 6, 3, 2, 4, 500, 7), {}),
        (F, ("linear", I64_MAX, 1, 2, 4, 500, 7), {}),
        (D, ("white", 3000), {}),
        (D, (), dict(n=3000)),
    ]
)


@pytest.fixture(scope="module")
def inject():
    lib = ctypes.PyDLL(os.environ["TROVA_PY_ALLOC_FAIL"])
    call = lib.py_alloc_fail_call
    call.restype = ctypes.py_object
    call.argtypes = [ctypes.py_object] * 4 + [ctypes.c_long] * 2
    # The harness collects around every run; frozen, the test session's own
    # objects are not scanned again each time.
    gc.collect()
    gc.freeze()
    yield call
    gc.unfreeze()


def normal_outcome(fn, args, kwargs):
    """The call's result, or the class of the exception it raises."""
    try:
        return fn(*args, **kwargs)
    except Exception as e:  # noqa: BLE001 - the outcome itself is compared
        return type(e)


def case_id(case):
    fn, args, kwargs = case
    return f"{fn.__name__}{args}{sorted(kwargs.items())}"


@pytest.mark.parametrize("case", CASES, ids=[case_id(c) for c in CASES])
def test_every_allocation_fails_cleanly(inject, case):
    assert gc.isenabled()  # the harness empties the free lists by collecting
    fn, args, kwargs = case
    want = normal_outcome(fn, args, kwargs)
    raises = isinstance(want, type) and issubclass(want, Exception)
    normal = 2 if raises else 0
    # Three runs each: the first may still fill caches (a Python-level
    # __index__ compiles its frame's data, say), so the later two must free
    # all they took and agree on the allocations made.
    runs = inject(fn, args, kwargs, want, 0, 3)
    n = runs[1][0]
    assert n > 0, "the call never reached the hooked allocator"
    assert [r[2] for r in runs] == [normal] * 3, (runs, want)
    assert [r[:2] for r in runs[1:]] == [(n, 0)] * 2, runs
    # References to the arguments (and to the ints behind Index and Int)
    # must come back as well; the interpreter's shared small ints,
    # None and the booleans change their counts on their own.
    held = list(args) + list(kwargs.values())
    held += [o.v for o in held if isinstance(o, (Index, Int))]
    held = [o for o in held if not (o is None or type(o) is bool or (type(o) is int and -5 <= o <= 256))]
    refs = [sys.getrefcount(o) for o in held]
    for k in range(1, n + 1):
        runs = inject(fn, args, kwargs, want, k, 3)
        for requests, net, outcome, exc in runs:
            assert requests >= k, f"allocation {k} of {n} never requested: {runs}"
            assert outcome in (1, normal), f"allocation {k} of {n} failing: {exc}, outcome {outcome}"
        assert runs[1][:2] == runs[2][:2] and runs[1][1] == 0, \
            f"blocks leaked with allocation {k} of {n} failing: {runs}"
    assert [sys.getrefcount(o) for o in held] == refs, "argument references leaked"
