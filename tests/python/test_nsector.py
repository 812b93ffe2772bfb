"""The N-sector model of the second-order benchmark (examples/nsector_model.cpp,
bench/peer_second_order.py): its solution chain at N = 2 against a NumPy
reading of the model, and the Dynare model file the benchmark generates
(checked in Python; Dynare is not run). Nothing here is timed."""
import ctypes
import math
import os
import re
import sys

import numpy as np
import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path.insert(0, os.path.join(ROOT, "bench"))

import peer_second_order as so  # noqa: E402
import trova_ctypes as tc  # noqa: E402


def numpy_residual(fwd, cur, N):
    """The model's equations, read from their definition in plain NumPy."""
    a, b, d, rho, psi = so.ALPHA, so.BETA, so.DELTA, so.RHO, so.PSI
    K_ss = N * so.sector_steady_state()[0]

    def split(v):
        return v[:N], v[N:2 * N], v[2 * N:3 * N], v[3 * N:]

    k1, z1, c1, n1 = split(fwd)
    k0, z0, c0, n0 = split(cur)
    y1 = np.exp(z1) * k1 ** a * n1 ** (1 - a) * (k1.sum() / K_ss) ** so.EXT
    y0 = np.exp(z0) * k0 ** a * n0 ** (1 - a) * (k0.sum() / K_ss) ** so.EXT
    return np.concatenate([1 / c0 - b * (a * y1 / k1 + 1 - d) / c1, psi * c0 - (1 - a) * y0 / n0,
                           k1 + c0 - y0 - (1 - d) * k0, z1 - rho * z0 - so.SPILL * np.roll(z0, -1)])


@pytest.fixture(scope="module")
def chain():
    lib = tc.load()
    m = so.Model(2, so.model_library())
    return m, so.solve(lib, tc.lapack_zgges(), m)


def test_chain_at_two_sectors_solves_the_model(chain):
    m, s = chain
    N, n, nx = m.N, m.n, m.nx
    # Steady state: the closed form, where the NumPy residual vanishes.
    np.testing.assert_allclose(s.ss, m.closed_form, rtol=1e-10, atol=1e-12)
    assert np.max(np.abs(numpy_residual(s.ss, s.ss, N))) < 1e-12
    # Linearisation: a = df/dfwd, b = -df/dcur against central differences
    # of the NumPy residual.
    h = 1e-6 * np.maximum(np.abs(s.ss), 1.0)
    for j in range(n):
        e = np.zeros(n)
        e[j] = h[j]
        da = (numpy_residual(s.ss + e, s.ss, N) - numpy_residual(s.ss - e, s.ss, N)) / (2 * h[j])
        db = (numpy_residual(s.ss, s.ss + e, N) - numpy_residual(s.ss, s.ss - e, N)) / (2 * h[j])
        np.testing.assert_allclose(s.a[:, j], da, rtol=1e-6, atol=1e-8)
        np.testing.assert_allclose(s.b[:, j], -db, rtol=1e-6, atol=1e-8)
    # First order: v(t) = (I; gx) x(t) and E v(t+1) = (I; gx) hx x(t) satisfy
    # a E v(t+1) = b v(t) for every x(t).
    V = np.vstack([np.eye(nx), s.gx])
    resid = s.a @ V @ s.hx - s.b @ V
    assert np.max(np.abs(resid)) < 1e-10 * max(np.max(np.abs(s.a)), np.max(np.abs(s.b)))
    # Stable: every eigenvalue of hx inside the unit circle.
    assert np.max(np.abs(np.linalg.eigvals(s.hx))) < 1.0
    # Technology follows its own law, z' = rho z + spill z_next, untouched by capital...
    Rz = so.RHO * np.eye(N) + so.SPILL * np.roll(np.eye(N), 1, axis=1)
    np.testing.assert_allclose(s.hx[N:, N:], Rz, atol=1e-12)
    np.testing.assert_allclose(s.hx[N:, :N], 0.0, atol=1e-12)
    # ... and the sectors are coupled: each sector's capital responds to the
    # other's capital and technology, at first and second order.
    for i in range(N):
        other = 1 - i
        assert abs(s.hx[i, other]) > 1e-6 and abs(s.hx[i, N + other]) > 1e-6
        assert abs(s.hxx[i, other, other]) > 1e-8
    # Second order: exactly symmetric in the state pair, finite risk terms.
    np.testing.assert_array_equal(s.gxx, s.gxx.transpose(0, 2, 1))
    np.testing.assert_array_equal(s.hxx, s.hxx.transpose(0, 2, 1))
    assert np.all(np.isfinite(s.gss)) and np.all(np.isfinite(s.hss))


def mod_equations(text):
    """The .mod file's parameter values and model equations."""
    params = dict(re.findall(r"\b(\w+) = ([-+0-9.e]+);", text.split("model;")[0]))
    body = text.split("model;")[1].split("end;")[0]
    return {k: float(v) for k, v in params.items()}, [ln for ln in body.strip().splitlines() if ln]


@pytest.mark.parametrize("N", [1, 3])
def test_mod_file_holds_the_model(N, tmp_path):
    text, seed = so.mod_file(N)
    path = tmp_path / f"nsector{N}.mod"
    path.write_text(text)
    assert path.stat().st_size > 0
    names = re.search(r"^var (.*);$", text, re.M).group(1).split()
    assert names == [f"{v}_{i}" for v in "kzch" for i in range(1, N + 1)]
    assert re.search(r"^varexo (.*);$", text, re.M).group(1).split() == [f"e_{i}" for i in range(1, N + 1)]
    assert "predetermined_variables " + " ".join(f"k_{i}" for i in range(1, N + 1)) + ";" in text
    assert "stoch_simul(order = 2" in text
    np.testing.assert_allclose(seed, so.sector_steady_state() * np.array(so.SEED_FACTORS))
    params, equations = mod_equations(text)
    assert len(equations) == 4 * N
    assert params["K_ss"] == pytest.approx(N * so.sector_steady_state()[0], rel=1e-15)
    # Every equation holds at the closed-form steady state (leads and lags
    # at the same point, no shock), and fails off it.
    ss = dict(zip(names, np.repeat(so.sector_steady_state(), N)))
    for at, holds in ((ss, True), ({k: v * 1.01 + 0.01 for k, v in ss.items()}, False)):
        env = dict(params, exp=math.exp, **at, **{f"e_{i}": 0.0 for i in range(1, N + 1)})
        gaps = []
        for eq in equations:
            lhs, rhs = re.sub(r"\((\+1|-1)\)", "", eq.rstrip(";").replace("^", "**")).split(" = ")
            gaps.append(eval(lhs, {}, env) - eval(rhs, {}, env))
        assert bool(np.max(np.abs(gaps)) < 1e-12) is holds


def all_pairs_hessian(fn, x, par, n_eq, h):
    """Every pair (r, c) of z = (fwd; cur) by its own bicomplex call: the
    ij-part of f(z + i h e_r + j h e_c) over h^2."""
    n = len(x)
    m = 2 * n
    H = np.full((n_eq, m, m), np.nan)
    par_bc = (tc.bc256 * max(len(par), 1))()
    for k, p in enumerate(par):
        par_bc[k].a.re = p
    out = (tc.bc256 * n_eq)()
    for r in range(m):
        for c in range(r, m):
            z = (tc.bc256 * m)()
            for q in range(m):
                z[q].a.re = x[q % n]
            z[r].a.im = h
            z[c].b.re = h
            fn(z, ctypes.cast(ctypes.byref(z, n * ctypes.sizeof(tc.bc256)), tc.P_bc256), par_bc, out)
            H[:, r, c] = H[:, c, r] = [(1.0 / (h * h)) * out[e].b.im for e in range(n_eq)]
    return H


def hessian_models():
    lib = so.model_library()
    growth = ctypes.CDLL(os.environ["TROVA_TEST_MODELS"])
    study = ctypes.CDLL(os.environ["TROVA_STUDY_LIB"])
    one = so.Model(1, lib)
    yield "growth", growth.growth_residual_bc256, np.array([0.2, 0.05, 0.8]), np.array([0.36, 0.99, 0.95])
    yield "rbc", study.rbc_residual_bc256, one.closed_form * np.array([1.1, 1.0, 0.9, 1.05]) + [0, 0.02, 0, 0], \
        one.par[:7]
    for N in (2, 3):
        m = so.Model(N, lib)
        yield f"nsector{N}", lib.nsector_residual_bc256, m.closed_form, m.par


@pytest.mark.parametrize("case", list(hessian_models()), ids=lambda c: c[0])
@pytest.mark.parametrize("h", [1e-8, 1e-30])
def test_hessian_skips_only_zero_pairs(case, h):
    """The library evaluates only pairs that share an equation: its Hessian
    is the all-pairs one bit for bit, in fewer calls on the sectoral models."""
    lib = tc.load()
    name, fn_ptr, x, par = case
    fn = tc.bc_residual_fn(ctypes.cast(fn_ptr, ctypes.c_void_p).value)
    n = len(x)
    m = 2 * n
    want = all_pairs_hessian(fn, x, par, n, h)
    calls = [0]

    def counted(f, c, p, o):
        calls[0] += 1
        fn(f, c, p, o)

    H = np.full((n, m, m), -7.0)
    assert lib.trova_bicomplex_hessian(tc.bc_residual_fn(counted), tc.ptr(x), tc.ptr(par), n, len(par), n, h,
                                       tc.ptr(H)) == 0
    np.testing.assert_array_equal(H.view(np.uint64), want.view(np.uint64))
    assert np.count_nonzero(H) > 0
    if name.startswith("nsector"):
        assert calls[0] < m * (m + 1) // 2
