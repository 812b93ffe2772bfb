"""First-order and pruned second-order simulation against NumPy recursions,
standalone, as steps, and inside pipelines fed by shock plans."""
import ctypes

import numpy as np
import pytest

import trova_ctypes as tc
from references import expected_shocks, linear_path, pruned_path, stable


def close(got, want):
    scale = max(1.0, np.max(np.abs(want))) if want.size else 1.0
    np.testing.assert_allclose(got, want, rtol=0, atol=1e-12 * scale)


def order2_model(rng, nx, ny, ne, quad=0.3):
    m = {
        "hx": stable(rng, nx, 0.8), "gx": rng.standard_normal((ny, nx)),
        "bx": rng.standard_normal((nx, ne)),
        "hxx": quad * rng.standard_normal((nx, nx, nx)), "gxx": quad * rng.standard_normal((ny, nx, nx)),
        "hss": rng.standard_normal(nx), "gss": rng.standard_normal(ny),
    }
    return {k: np.ascontiguousarray(v) for k, v in m.items()}


ORDER2_ARGS = ("hx", "gx", "bx", "hxx", "gxx", "hss", "gss")


def simulate_pruned(lib, m, x0, eps):
    nx, ny, T = m["hx"].shape[0], m["gx"].shape[0], eps.shape[0]
    x_out, y_out = np.full((T, nx), np.nan), np.full((T, ny), np.nan)
    status = lib.trova_simulate_second_order_pruned(
        *[tc.ptr(m[k]) for k in ORDER2_ARGS], tc.ptr(x0), tc.ptr(eps), T, nx, ny, eps.shape[1],
        tc.ptr(x_out), tc.ptr(y_out))
    assert status == 0
    return x_out, y_out


@pytest.mark.parametrize("n,k,T", [(1, 1, 1), (3, 2, 50), (7, 0, 20), (20, 5, 300), (9, 13, 64)])
def test_linear_states_and_observations(lib, rng, n, k, T):
    A, B = stable(rng, n), rng.standard_normal((n, k))
    x0, eps = rng.standard_normal(n), rng.standard_normal((T, k))
    out = np.full((T, n), np.nan)
    lib.trova_simulate_linear_states(tc.ptr(A), tc.ptr(B), tc.ptr(x0), tc.ptr(eps), tc.ptr(out), T, n, k)
    close(out, linear_path(A, B, x0, eps))
    if k == 0:  # the deterministic path A^(t+1) x0
        close(out[-1], np.linalg.matrix_power(A, T) @ x0)
    m = 4
    C, d = rng.standard_normal((m, n)), rng.standard_normal(m)
    obs = np.full((T, m), np.nan)
    lib.trova_affine_observations(tc.ptr(out), tc.ptr(C), tc.ptr(d), tc.ptr(obs), T, m, n)
    close(obs, out @ C.T + d)
    lib.trova_affine_observations(tc.ptr(out), None, tc.ptr(d), tc.ptr(obs), T, m, 0)
    np.testing.assert_array_equal(obs, np.tile(d, (T, 1)))


@pytest.mark.parametrize("nx,ny,ne,T", [(1, 1, 1, 1), (3, 2, 2, 40), (6, 10, 3, 200), (5, 0, 4, 30)])
def test_pruned_second_order_against_numpy(lib, rng, nx, ny, ne, T):
    m = order2_model(rng, nx, ny, ne)
    x0, eps = 0.3 * rng.standard_normal(nx), 0.3 * rng.standard_normal((T, ne))
    x, y = simulate_pruned(lib, m, x0, eps)
    xr, yr = pruned_path(*[m[k] for k in ORDER2_ARGS], x0, eps)
    close(x, xr)
    close(y, yr)


def test_second_order_without_second_order_terms_is_first_order(lib, rng):
    nx, ny, ne, T = 4, 3, 2, 80
    m = order2_model(rng, nx, ny, ne, quad=0.0)
    m["hss"][:] = 0.0
    m["gss"][:] = 0.0
    x0, eps = rng.standard_normal(nx), rng.standard_normal((T, ne))
    x, y = simulate_pruned(lib, m, x0, eps)
    first = np.full((T, nx), np.nan)
    lib.trova_simulate_linear_states(tc.ptr(m["hx"]), tc.ptr(m["bx"]), tc.ptr(x0), tc.ptr(eps),
                                     tc.ptr(first), T, nx, ne)
    close(x, first)
    close(y, first @ m["gx"].T)


def test_risk_term_alone_and_no_states(lib, rng):
    # x0 = 0 and no shocks: x_0 = hss/2, x_1 = hx hss/2 + hss/2, ...
    m = order2_model(rng, 3, 2, 1)
    x, _ = simulate_pruned(lib, m, np.zeros(3), np.zeros((3, 1)))
    h = 0.5 * m["hss"]
    close(x, np.array([h, m["hx"] @ h + h, m["hx"] @ (m["hx"] @ h + h) + h]))
    # Without states every control is gss/2.
    m0 = order2_model(rng, 0, 3, 2)
    _, y = simulate_pruned(lib, m0, np.zeros(0), rng.standard_normal((4, 2)))
    np.testing.assert_array_equal(y, np.tile(0.5 * m0["gss"], (4, 1)))


@pytest.mark.parametrize("nx,ny,ne,T,n_par", [(0, 0, 0, 0, 0), (1, 2, 3, 4, 5), (6, 10, 3, 1000, 2),
                                              (7, 0, 1, 9, 0)])
def test_sizers_count_every_block(lib, gapless, nx, ny, ne, T, n_par):
    if not gapless:
        pytest.skip("layout gaps change the sizes")
    n = nx + ny
    # First order on n variables with ne shocks: A, B, x0, shock, params.
    assert lib.trova_simulate_order1_arena_size(n, ne, T, n_par) == n * n + n * ne + n + T * ne + n_par
    assert lib.trova_simulate_order1_shock_offset(n, ne) == n * (n + ne + 1)
    blocks = [nx * nx, ny * nx, nx * ne, nx**3, ny * nx * nx, nx, ny, n, nx]
    assert lib.trova_simulate_order2_shock_offset(nx, ny, ne) == sum(blocks)
    size = sum(blocks) + T * ne + n_par + nx * (nx + 4)
    assert lib.trova_simulate_order2_arena_size(nx, n, ne, T, n_par) == size
    assert size == nx * (nx * n + ne + 5 + nx + n) + 2 * n + ne * T + n_par


# ---- pipelines: shock plan -> simulation runner ----

def shock_entries(ne):
    """A correlated normal entry on all but the last shock and a uniform one on the last."""
    w = ne - 1
    f = np.tril(np.full((w, w), 0.3)) + np.eye(w)
    return [{"columns": list(range(w)), "factor": f, "loc": np.linspace(-0.1, 0.1, w), "key": 2024, "idx": 0},
            {"family": 1, "columns": [ne - 1], "low": -0.5, "span": 1.0, "key": 2024, "idx": 1}]


def affine_measurement(n_state, m):
    """obs = params[0] * state[:m] + params[1], as a ctypes callback."""
    @tc.trova_measurement_fn
    def measure(state, params, obs):
        for j in range(m):
            obs[j] = params[0] * state[j % n_state] + params[1]
    return measure


def run_order1(lib, model, plan, n_rep, workers, m):
    A, B, x0, params = model
    n, k = B.shape
    T = plan.T
    size = lib.trova_simulate_order1_arena_size(n, k, T, len(params))
    meas = affine_measurement(n, m)
    ctx = tc.trova_mc_simulate_order1_step_ctx(meas, T, n, k, len(params), m, ctypes.pointer(plan.plan), size)
    p = tc.Pipeline(n_rep, workers)
    p._keep += [meas, plan]
    s = p.add_step(tc.fn_address(lib, "trova_mc_simulate_order1_runner"), ctx,
                   n_in=size + plan.scratch_size(), n_out=T * (n + m), n_int_out=1)
    # Arena: A | B | x0 | shocks (drawn by the step) | params.
    arena = tc.Layout()
    for block in (A, B, x0):
        p.bind_static(s, arena.take(block.size), block)
    assert arena.offset == lib.trova_simulate_order1_shock_offset(n, k)
    arena.take(T, k)
    p.bind_static(s, arena.take(len(params)), params)
    assert arena.offset == size
    assert p.run(profile=True) == 0
    np.testing.assert_array_equal(p.failure_step, -1)
    np.testing.assert_array_equal(p.steps[0]["int_retained"], 0)
    return p.steps[0]["retained"]


def run_order2(lib, model, ss, x0, plan, n_rep, workers, m):
    nx, ny, ne = model["hx"].shape[0], model["gx"].shape[0], model["bx"].shape[1]
    T, n, params = plan.T, nx + ny, np.array([2.0, -1.0])
    size = lib.trova_simulate_order2_arena_size(nx, n, ne, T, 2)
    meas = affine_measurement(nx, m)
    ctx = tc.trova_mc_simulate_order2_step_ctx(meas, T, nx, ny, ne, 2, m, ctypes.pointer(plan.plan), size)
    p = tc.Pipeline(n_rep, workers)
    p._keep += [meas, plan]
    s = p.add_step(tc.fn_address(lib, "trova_mc_simulate_order2_runner"), ctx,
                   n_in=size + plan.scratch_size(), n_out=T * (n + m), n_int_out=1)
    # Arena: the solution blocks | steady state | x0 | shocks | params | scratch.
    arena = tc.Layout()
    for block in [model[k] for k in ORDER2_ARGS] + [ss, x0]:
        p.bind_static(s, arena.take(block.size), block)
    assert arena.offset == lib.trova_simulate_order2_shock_offset(nx, ny, ne)
    arena.take(T, ne)
    p.bind_static(s, arena.take(len(params)), params)
    assert p.run() == 0
    np.testing.assert_array_equal(p.failure_step, -1)
    return p.steps[0]["retained"]


def test_first_order_pipeline_is_reproducible_and_equals_numpy(lib, rng):
    n, k, T, m, n_rep = 4, 3, 25, 2, 7
    model = (stable(rng, n), rng.standard_normal((n, k)), rng.standard_normal(n), np.array([2.0, -1.0]))
    plan = tc.ShockPlan(T, k, shock_entries(k), scale=0.8)
    rows = [run_order1(lib, model, plan, n_rep, w, m) for w in (1, 2, 3)]
    assert rows[0].tobytes() == rows[1].tobytes() == rows[2].tobytes()
    A, B, x0, params = model
    for r in range(n_rep):
        eps = expected_shocks(plan, r)
        states = linear_path(A, B, x0, eps)
        close(rows[0][r, :T * n].reshape(T, n), states)
        close(rows[0][r, T * n:].reshape(T, m), params[0] * states[:, :m] + params[1])


def test_second_order_pipeline_is_reproducible_and_equals_numpy(lib, rng):
    nx, ny, ne, T, m, n_rep = 3, 2, 3, 20, 2, 5
    model = order2_model(rng, nx, ny, ne)
    ss, x0 = rng.standard_normal(nx + ny), 0.2 * rng.standard_normal(nx)
    plan = tc.ShockPlan(T, ne, shock_entries(ne), scale=0.5)
    rows = [run_order2(lib, model, ss, x0, plan, n_rep, w, m) for w in (1, 2, 3)]
    assert rows[0].tobytes() == rows[1].tobytes() == rows[2].tobytes()
    n = nx + ny
    for r in range(n_rep):
        eps = expected_shocks(plan, r)
        x, y = pruned_path(*[model[k] for k in ORDER2_ARGS], x0, eps)
        levels = np.hstack([x, y]) + ss
        close(rows[0][r, :T * n].reshape(T, n), levels)
        # The measurement saw the state in levels.
        close(rows[0][r, T * n:].reshape(T, m), 2.0 * levels[:, :m] - 1.0)


@pytest.mark.parametrize("order", [1, 2])
@pytest.mark.parametrize("bad", ["T", "n_exog"])
def test_plan_that_disagrees_with_the_step_fails_without_drawing(lib, order, bad):
    T, n_exog = 6, 2
    plan = tc.ShockPlan(T + (bad == "T"), n_exog + (bad == "n_exog"),
                        [{"columns": [0], "factor": [[1.0]], "key": 1, "idx": 0}])
    if order == 1:
        ctx = tc.trova_mc_simulate_order1_step_ctx(tc.trova_measurement_fn(), T, 2, n_exog, 0, 0,
                                                   ctypes.pointer(plan.plan), 40)
    else:
        ctx = tc.trova_mc_simulate_order2_step_ctx(tc.trova_measurement_fn(), T, 2, 1, n_exog, 0, 0,
                                                   ctypes.pointer(plan.plan), 80)
    lane, out, status = np.full(120, 3.5), np.full(40, 4.5), np.array([99], dtype=np.int64)
    runner = getattr(lib, f"trova_mc_simulate_order{order}_runner")
    assert runner(0, tc.ptr(lane), tc.ptr(out), None, tc.ptr(status), ctypes.addressof(ctx)) == -1
    assert status[0] == -1
    assert (lane == 3.5).all() and (out == 4.5).all()
    assert runner(0, tc.ptr(lane), tc.ptr(out), None, None, ctypes.addressof(ctx)) == -1
