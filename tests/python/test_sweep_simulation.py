"""One sweep of the simulation family across shapes.

Each case draws a shock plan (normal entries of width > 1 on permuted
columns, uniform entries, overlapping entries, undriven columns, or no plan
with the shocks bound per replication), a first-order model (assembled from
a complex P and F where the shocks fit on the states) or a pruned
second-order one, and checks:

* the shock draws against NumPy's Philox + Generator streams;
* the state-space assembly against its definition;
* the standalone kernels, the step kernel, the runner called on its own and
  the runner inside pipelines of several workers against a plain NumPy
  reading of the recursions;
* that the measurement of period t sees row t complete and no later row of
  the path (states or observables) written yet.
"""
import ctypes

import numpy as np
import pytest

import trova_ctypes as tc
from references import expected_shocks, linear_path, pruned_path, stable

SENTINEL = -7.25e300  # never a simulated value


def close(got, want):
    scale = max(1.0, float(np.max(np.abs(want)))) if want.size else 1.0
    np.testing.assert_allclose(got, want, rtol=0, atol=1e-11 * scale)


# ---- shock plans ----

def plan_entries(shape, k, rng):
    """Entries of one plan shape over k shock columns (None: no plan)."""
    if shape == "bound" or k == 0:
        return None if shape == "bound" else []
    perm = [int(c) for c in rng.permutation(k)]
    def normal(cols, idx):
        w = len(cols)
        return {"columns": cols, "factor": np.tril(rng.standard_normal((w, w))) + 2 * np.eye(w),
                "loc": rng.standard_normal(w) if idx % 2 == 0 else None, "key": 77 + idx, "idx": idx}
    def uniform(col, idx):
        return {"family": 1, "columns": [col], "low": float(rng.uniform(-2, 0)),
                "span": float(rng.uniform(0.5, 3)), "key": 3, "idx": idx}
    if shape == "normal":  # one correlated entry driving every column, permuted
        return [normal(perm, 0)]
    if shape == "uniform":  # one uniform entry per column
        return [uniform(c, i) for i, c in enumerate(perm)]
    if shape == "mixed":  # a wide normal entry, a uniform one, the last column undriven when k >= 3
        cut = max(1, k - 2) if k >= 3 else k - 1
        entries = [normal(perm[:cut], 0)] if cut > 0 else []
        if cut < k:
            entries.append(uniform(perm[cut], 1))
        return entries
    if shape == "overlap":  # a uniform entry overriding a column of a normal one
        return [normal(perm, 0), uniform(perm[-1], 1), normal(perm[:1], 2)]
    raise ValueError(shape)


def make_plan(shape, T, k, rng):
    entries = plan_entries(shape, k, rng)
    if entries is None:
        return None
    plan = tc.ShockPlan(T, k, entries, scale=float(rng.uniform(0.5, 1.5)))
    for i, e in enumerate(entries):
        # A uniform entry draws one column whatever its width says, and a
        # plan may size a wider scratch than its entries need.
        if e.get("family") == 1:
            plan.entries[i].width = 1000
    plan.plan.max_width += 1
    return plan


def replication_shocks(plan, bound, rep):
    return expected_shocks(plan, rep) if plan is not None else bound[rep]


# ---- measurement callbacks that check the period order ----

class Recorder:
    """A measurement callback over a step's output lane `simout` (T x n
    states, then T x m observables): call t must get row t, find rows 0 .. t
    and observables 0 .. t-1 written and every later cell still SENTINEL.
    obs[j] = params[j % n_par] * state[j % n] + j (terms dropped when n or
    n_par is 0)."""

    def __init__(self, n, m, n_par, T, check_order=True):
        self.n, self.m, self.n_par, self.T = n, m, n_par, T
        self.simout, self.calls, self.errors = None, 0, []
        self.check_order = check_order
        self.fn = tc.trova_measurement_fn(self._measure)

    def start(self, simout):
        self.simout, self.calls, self.errors = simout, 0, []

    def _measure(self, state, params, obs):
        n, m, t = self.n, self.m, self.calls
        if self.check_order and self.simout is not None:
            s = self.simout
            states, observed = s[:self.T * n].reshape(self.T, n), s[self.T * n:].reshape(self.T, m)
            base = s.ctypes.data
            if n and ctypes.cast(state, ctypes.c_void_p).value != base + 8 * t * n:
                self.errors.append(f"call {t} got another row")
            if n and (states[:t + 1] == SENTINEL).any():
                self.errors.append(f"call {t}: rows up to {t} not all written")
            if (states[t + 1:] != SENTINEL).any() or (observed[t:] != SENTINEL).any():
                self.errors.append(f"call {t}: a later period was written before it")
            if (observed[:t] == SENTINEL).any():
                self.errors.append(f"call {t}: an earlier observation missing")
        for j in range(m):
            v = float(j)
            if n and self.n_par:
                v += params[j % self.n_par] * state[j % n]
            obs[j] = v
        self.calls += 1

    def reference(self, states, params):
        T, n = states.shape
        obs = np.tile(np.arange(self.m, dtype=float), (T, 1))
        if n and self.n_par:
            j = np.arange(self.m)
            obs += params[j % self.n_par] * states[:, j % n]
        return obs

    def assert_clean(self, T):
        assert not self.errors, self.errors[:3]
        assert self.calls == (T if self.m > 0 else 0)


# ---- models ----

def assembled_model(lib, rng, n, k):
    """(A, B) from trova_assemble_state_space over a random complex P, F with
    n_state >= k states, checked against [Re P, 0; Re(F P), 0] and
    [I; 0] + Re F's first k columns. None when k > n."""
    if k > n:
        return None
    ns = max(k, n - n // 2)
    nc = n - ns
    p = stable(rng, ns, 0.85) * (1 + 0.3j) / abs(1 + 0.3j) if ns else np.zeros((0, 0))
    p = np.ascontiguousarray(p.astype(np.complex128) + 0.05j / np.sqrt(max(ns, 1)) * rng.standard_normal((ns, ns)))
    f = np.ascontiguousarray(rng.standard_normal((nc, ns)) + 1j * rng.standard_normal((nc, ns)))
    A, B = np.full((n, n), np.nan), np.full((n, max(k, 1)), np.nan)
    st = lib.trova_assemble_state_space(tc.cptr(p) if ns else None, tc.cptr(f) if nc * ns else None,
                                        ns, nc, k, tc.ptr(A), tc.ptr(B))
    assert st == 0
    want_A = np.zeros((n, n))
    want_A[:ns, :ns] = p.real
    want_A[ns:, :ns] = (f @ p).real
    close(A, want_A)
    if k == 0:
        assert np.isnan(B).all()  # n_exog = 0 leaves B untouched
        return want_A, np.zeros((n, 0))
    want_B = np.zeros((n, k))
    want_B[:k, :k] = np.eye(k)
    want_B[ns:, :] = f[:, :k].real
    close(B, want_B)
    return A, B


# ---- cases ----
# order 1: (n, k, m, T, n_par, plan shape, workers)
ORDER1 = [
    (3, 5, 2, 7, 2, "mixed", 2),       # more shocks than states
    (4, 0, 3, 5, 1, "normal", 3),      # no shocks
    (1, 1, 1, 1, 1, "uniform", 1),     # one state, one observable, one period
    (2, 2, 0, 9, 0, "overlap", 2),     # no observables, no measurement
    (2, 3, 5, 4, 3, "bound", 3),       # more observables than states, bound shocks
    (0, 2, 2, 3, 1, "normal", 2),      # no states: observables from the measurement alone
    (5, 3, 2, 12, 2, "uniform", 1),
    (40, 3, 1, 130, 1, "mixed", 2),    # periods across several runs of the shock-term block
    (1100, 2, 1, 3, 1, "normal", 1),   # a state too long for the block: terms straight into rows
]
# order 2: (nx, ny, n_exog, m, T, n_par, plan shape, workers)
ORDER2 = [
    (2, 3, 4, 2, 6, 2, "mixed", 2),    # more shocks than states
    (1, 0, 1, 1, 1, 1, "uniform", 1),  # one state, no controls, one period
    (3, 2, 0, 0, 5, 0, "normal", 3),   # no shocks, no observables
    (2, 1, 2, 5, 4, 2, "overlap", 2),  # more observables than variables
    (0, 2, 1, 1, 3, 1, "bound", 2),    # no states
    (4, 3, 2, 3, 40, 2, "normal", 3),
]

N_REP = 5


def run_pipeline(lib, runner, ctx, n_in, n_out, workers, bind):
    p = tc.Pipeline(N_REP, workers)
    s = p.add_step(tc.fn_address(lib, runner), ctx, n_in=n_in, n_out=n_out, n_int_out=1)
    bind(p, s)
    assert p.run() == 0
    np.testing.assert_array_equal(p.failure_step, -1)
    np.testing.assert_array_equal(p.steps[s]["int_retained"], 0)
    return p.steps[s]["retained"]


def check_runner_alone(lib, runner, ctx, lane_template, n_out, rec, T, rep, want):
    """The runner on fresh lanes: status 0, order of the callbacks, values."""
    lane = lane_template.copy()
    out = np.full(n_out, SENTINEL)
    status = np.array([99], dtype=np.int64)
    rec.start(out)
    assert getattr(lib, runner)(rep, tc.ptr(lane), tc.ptr(out), None, tc.ptr(status), ctypes.addressof(ctx)) == 0
    assert status[0] == 0
    rec.assert_clean(T)
    close(out, want)


@pytest.mark.parametrize("case", ORDER1, ids=lambda c: "n{}_k{}_m{}_T{}_{}_w{}".format(*c[:4], *c[5:]))
def test_first_order(lib, rng, gapless, case):
    n, k, m, T, n_par, shape, workers = case
    model = assembled_model(lib, rng, n, k)
    if model is None:
        model = (stable(rng, n), rng.standard_normal((n, k)))
    A, B = (np.ascontiguousarray(a) for a in model)
    x0, params = rng.standard_normal(n), rng.standard_normal(n_par)
    plan = make_plan(shape, T, k, rng)
    bound = rng.standard_normal((N_REP, T, k))
    shocks = [replication_shocks(plan, bound, r) for r in range(N_REP)]
    if plan is not None:
        for r in range(N_REP):
            close(plan.draw(r), shocks[r])

    # Standalone kernels.
    eps = np.ascontiguousarray(shocks[0])
    states = np.full((T, n), SENTINEL)
    lib.trova_simulate_linear_states(tc.ptr(A), tc.ptr(B), tc.ptr(x0), tc.ptr(eps), tc.ptr(states), T, n, k)
    want = [linear_path(A, B, x0, e) for e in shocks]
    close(states, want[0])
    C, d = rng.standard_normal((m, n)), rng.standard_normal(m)
    obs = np.full((T, m), SENTINEL)
    lib.trova_affine_observations(tc.ptr(want[0]), tc.ptr(C), tc.ptr(d), tc.ptr(obs), T, m, n)
    close(obs, want[0] @ C.T + d)

    # The step kernel over a packed arena, and the runner on its own.
    size = lib.trova_simulate_order1_arena_size(n, k, T, n_par)
    off = lib.trova_simulate_order1_shock_offset(n, k)
    layout = tc.Layout()  # A | B | x0 | shock | params
    at = [layout.take(*dims) for dims in ((n, n), (n, k), (n,), (T, k), (n_par,))]
    assert off == at[3] and size == layout.offset
    if gapless:
        assert off == n * (n + k + 1) and size == off + T * k + n_par
    rec = Recorder(n, m, n_par, T)
    meas = rec.fn if m > 0 else tc.trova_measurement_fn()
    rows = [np.hstack([w.ravel(), rec.reference(w, params).ravel()]) for w in want]
    arena = tc.pack([A, B, x0, eps, params])
    simout = np.full(T * (n + m), SENTINEL)
    rec.start(simout)
    assert lib.trova_simulate_order1_step(tc.ptr(arena), meas, T, n, k, n_par, m, tc.ptr(simout)) == 0
    rec.assert_clean(T)
    close(simout, rows[0])

    scratch = plan.scratch_size() if plan is not None else 0
    ctx = tc.trova_mc_simulate_order1_step_ctx(meas, T, n, k, n_par, m,
                                               ctypes.pointer(plan.plan) if plan else None, size)
    lane = np.full(size + scratch, SENTINEL)
    lane[:size] = tc.pack([A, B, x0, shocks[3], params])
    check_runner_alone(lib, "trova_mc_simulate_order1_runner", ctx, lane, T * (n + m), rec, T, 3, rows[3])

    # Inside pipelines; the callback cannot see a fresh lane there.
    rec.check_order = False

    def bind(p, s):
        for offset, block in zip(at, (A, B, x0)):
            p.bind_static(s, offset, block)
        if plan is None:
            p.bind_static(s, off, bound.reshape(N_REP, T * k), batched=True)
        p.bind_static(s, at[4], params)
    got = run_pipeline(lib, "trova_mc_simulate_order1_runner", ctx, size + scratch, T * (n + m), workers, bind)
    for r in range(N_REP):
        close(got[r], rows[r])


def order2_model(rng, nx, ny, ne):
    m = {"hx": stable(rng, nx, 0.8), "gx": rng.standard_normal((ny, nx)), "bx": rng.standard_normal((nx, ne)),
         "hxx": 0.3 * rng.standard_normal((nx, nx, nx)), "gxx": 0.3 * rng.standard_normal((ny, nx, nx)),
         "hss": rng.standard_normal(nx), "gss": rng.standard_normal(ny)}
    return {key: np.ascontiguousarray(v) for key, v in m.items()}


ORDER2_ARGS = ("hx", "gx", "bx", "hxx", "gxx", "hss", "gss")


@pytest.mark.parametrize("case", ORDER2, ids=lambda c: "nx{}_ny{}_k{}_m{}_T{}_{}_w{}".format(*c[:5], *c[6:]))
def test_pruned_second_order(lib, rng, gapless, case):
    nx, ny, ne, m, T, n_par, shape, workers = case
    n = nx + ny
    model = order2_model(rng, nx, ny, ne)
    ss, x0, params = rng.standard_normal(n), 0.3 * rng.standard_normal(nx), rng.standard_normal(n_par)
    plan = make_plan(shape, T, ne, rng)
    bound = 0.5 * rng.standard_normal((N_REP, T, ne))
    shocks = [replication_shocks(plan, bound, r) for r in range(N_REP)]
    if plan is not None:
        for r in range(N_REP):
            close(plan.draw(r), shocks[r])
    want = [pruned_path(*[model[a] for a in ORDER2_ARGS], x0, e) for e in shocks]

    # Standalone kernel: deviations.
    eps = np.ascontiguousarray(shocks[0])
    x_out, y_out = np.full((T, nx), SENTINEL), np.full((T, ny), SENTINEL)
    assert lib.trova_simulate_second_order_pruned(*[tc.ptr(model[a]) for a in ORDER2_ARGS], tc.ptr(x0),
                                                  tc.ptr(eps), T, nx, ny, ne, tc.ptr(x_out), tc.ptr(y_out)) == 0
    close(x_out, want[0][0])
    close(y_out, want[0][1])

    # The step kernel and the runner on their own: levels, measurement in levels.
    size = lib.trova_simulate_order2_arena_size(nx, n, ne, T, n_par)
    off = lib.trova_simulate_order2_shock_offset(nx, ny, ne)
    if gapless:
        assert size == off + T * ne + n_par + nx * (nx + 4)
    rec = Recorder(n, m, n_par, T)
    meas = rec.fn if m > 0 else tc.trova_measurement_fn()
    levels = [np.hstack([x, y]) + ss for x, y in want]
    rows = [np.hstack([lv.ravel(), rec.reference(lv, params).ravel()]) for lv in levels]
    head = tc.pack([model[a] for a in ORDER2_ARGS] + [ss, x0])
    assert head.size == off
    rest = tc.Layout(off)  # shock | params | scratch
    rest.take(T, ne)
    params_at = rest.take(n_par)

    def arena_for(e):
        arena = tc.pack([model[a] for a in ORDER2_ARGS] + [ss, x0, e, params, np.full((nx, nx + 4), SENTINEL)])
        assert arena.size == size
        return arena
    arena = arena_for(eps)
    simout = np.full(T * (n + m), SENTINEL)
    rec.start(simout)
    assert lib.trova_simulate_order2_step(tc.ptr(arena), meas, T, nx, ny, ne, n_par, m, tc.ptr(simout)) == 0
    rec.assert_clean(T)
    close(simout, rows[0])

    scratch = plan.scratch_size() if plan is not None else 0
    ctx = tc.trova_mc_simulate_order2_step_ctx(meas, T, nx, ny, ne, n_par, m,
                                               ctypes.pointer(plan.plan) if plan else None, size)
    lane = np.concatenate([arena_for(shocks[2]), np.full(scratch, SENTINEL)])
    check_runner_alone(lib, "trova_mc_simulate_order2_runner", ctx, lane, T * (n + m), rec, T, 2, rows[2])

    rec.check_order = False

    def bind(p, s):
        p.bind_static(s, 0, head)
        if plan is None:
            p.bind_static(s, off, bound.reshape(N_REP, T * ne), batched=True)
        p.bind_static(s, params_at, params)
    got = run_pipeline(lib, "trova_mc_simulate_order2_runner", ctx, size + scratch, T * (n + m), workers, bind)
    for r in range(N_REP):
        close(got[r], rows[r])
