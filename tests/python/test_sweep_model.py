"""The model-solution chain across model shapes and scales, against SciPy and
NumPy readings of the definitions.

Each case is a random linear-quadratic model with a known first-order
solution: residuals

    f(fwd, cur) = r + a (fwd - ss) - b (cur - ss) + 1/2 z' H z,
    z = (fwd - ss; cur - ss),

whose pencil (a, b) is built from chosen gx and hx (and, for some cases,
static equations that make a singular, which gives infinite roots). The
chain runs as a caller would: the residual path, the complex-step Jacobians
in levels and in logarithms, Newton from a nearby seed, the bicomplex
Hessian, QZ through LAPACK's zgges, the state-transition and policy matrices,
the quadratic terms and the risk corrections, each fed with the library's
own outputs of the step before. The residual is scaled by 1, or by 1e-170,
1e-160 or 1e155 with equations in units up to 1e6 apart, so that moduli,
pivots and Newton tolerances are exercised far from unit scale. Shapes: one state, many controls, no controls, no shocks and
more shocks than states.
"""
import ctypes

import numpy as np
import pytest
import scipy.linalg

import trova_ctypes as tc
from references import assert_same_set, risk_reference, stable, unreduced_solve

PAD = 4
GUARD = -7.25e11


def padded(shape, dtype=float, fill=np.nan):
    size = int(np.prod(shape))
    raw = np.full(size + 2 * PAD, GUARD, dtype=dtype)
    inner = raw[PAD:PAD + size].reshape(shape)
    inner[...] = fill
    return raw, inner


def guards_intact(*raws):
    return all((r[:PAD] == GUARD).all() and (r[-PAD:] == GUARD).all() for r in raws)


def c128_view(p, n):
    return np.ctypeslib.as_array(ctypes.cast(p, ctypes.POINTER(ctypes.c_double)), (2 * n,)).view(np.complex128)


def bc256_view(p, n):
    """(n, 2) complex: column 0 is the i-plane part a, column 1 the j part b."""
    return np.ctypeslib.as_array(ctypes.cast(p, ctypes.POINTER(ctypes.c_double)), (4 * n,)).view(np.complex128).reshape(n, 2)


class Model:
    """A linear-quadratic model with a known determinate first-order solution."""

    def __init__(self, rng, nx, ny, scale, singular_a):
        n = nx + ny
        self.n, self.nx, self.ny, self.scale = n, nx, ny, scale
        self.hx = stable(rng, nx, 0.9)
        self.gx = rng.standard_normal((ny, nx))
        V = np.block([[np.eye(nx), rng.standard_normal((nx, ny))],
                      [self.gx, rng.standard_normal((ny, ny)) + 3 * np.eye(ny)]])
        L = rng.standard_normal((n, n)) + 3 * np.eye(n)
        # Unstable block: roots d_b / d_a of modulus 1.3 to 3, or infinite
        # where d_a = 0 (a static equation).
        d_a = rng.uniform(0.5, 1.0, ny)
        d_b = d_a * rng.uniform(1.3, 3.0, ny) * rng.choice([-1, 1], ny)
        if singular_a:
            d_a[0], d_b[0] = 0.0, 1.0
        A22 = np.diag(d_a) + np.triu(rng.standard_normal((ny, ny)), 1)
        B22 = np.diag(d_b) + np.triu(rng.standard_normal((ny, ny)), 1)
        Vinv = np.linalg.inv(V)
        self.a = L @ scipy.linalg.block_diag(np.eye(nx), A22) @ Vinv
        self.b = L @ scipy.linalg.block_diag(self.hx, B22) @ Vinv
        with np.errstate(divide="ignore"):
            self.roots = np.concatenate([np.linalg.eigvals(self.hx), d_b / d_a])
        H = rng.standard_normal((n, 2 * n, 2 * n))
        self.H = H + H.transpose(0, 2, 1)
        self.ss = rng.uniform(0.5, 2.0, n)
        # Far from unit scale the equations also come in units up to 1e6
        # apart, so that the roots' moduli spread over several decades.
        self.row = scale * (10.0 ** rng.uniform(-3, 3, n) if scale != 1.0 else np.ones(n))
        self.r = np.zeros(n)  # residual at the point; the log-linear check sets it

    def value(self, fwd, cur):
        """f at complex fwd, cur (unscaled numbers, then times the scale)."""
        z = np.concatenate([fwd - self.ss, cur - self.ss])
        quad = np.einsum("irc,r,c->i", self.H, z, z)
        return self.row * (self.r + self.a @ (fwd - self.ss) - self.b @ (cur - self.ss) + 0.5 * quad)

    def c128_fn(self):
        n = self.n

        def fn(fwd, cur, par, out):
            c128_view(out, n)[:] = self.value(c128_view(fwd, n), c128_view(cur, n))

        return tc.trova_residual_fn(fn)

    def bc256_fn(self):
        n, s = self.n, self.row

        def fn(fwd, cur, par, out):
            f, c = bc256_view(fwd, n), bc256_view(cur, n)
            za = np.concatenate([f[:, 0] - self.ss, c[:, 0] - self.ss])
            zb = np.concatenate([f[:, 1], c[:, 1]])
            o = bc256_view(out, n)
            # (za + j zb)' H (za + j zb) with j^2 = -1 and H symmetric.
            o[:, 0] = s * (self.r + self.a @ (f[:, 0] - self.ss) - self.b @ (c[:, 0] - self.ss)
                           + 0.5 * (np.einsum("irc,r,c->i", self.H, za, za)
                                    - np.einsum("irc,r,c->i", self.H, zb, zb)))
            o[:, 1] = s * (self.a @ f[:, 1] - self.b @ c[:, 1] + np.einsum("irc,r,c->i", self.H, za, zb))

        return tc.bc_residual_fn(fn)


# (nx, ny, ne, scale, singular a)
CASES = [
    (1, 0, 1, 1.0, False),     # one state, nothing else
    (1, 1, 2, 1.0, False),     # more shocks than states
    (1, 5, 3, 1.0, True),      # one state, many controls, a static equation
    (2, 0, 4, 1e-170, False),  # no controls, more shocks than states, tiny scale
    (3, 2, 0, 1.0, False),     # no shocks
    (2, 3, 1, 1e155, True),    # huge scale with a static equation
    (4, 4, 6, 1.0, False),
    (3, 1, 5, 1e-170, True),
    (5, 3, 2, 1.0, True),
    (3, 2, 2, 1e155, False),
    (4, 1, 3, 1e155, False),
    (2, 2, 1, 1e-160, False),
]


@pytest.fixture(scope="module")
def zgges():
    return tc.lapack_zgges()


@pytest.mark.parametrize("nx,ny,ne,scale,singular_a", CASES,
                         ids=[f"nx{c[0]}-ny{c[1]}-ne{c[2]}-{c[3]:g}" + ("-static" if c[4] else "") for c in CASES])
def test_model_sweep(lib, zgges, rng, nx, ny, ne, scale, singular_a):
    m = Model(rng, nx, ny, scale, singular_a)
    n, row = m.n, m.row[:, None]
    fn, bc_fn = m.c128_fn(), m.bc256_fn()
    par = np.zeros(1)

    # Residuals along a path (the callback takes fwd first).
    steps = 3
    cur = m.ss + 0.1 * rng.standard_normal((steps, n)) + 0j
    fwd = m.ss + 0.1 * rng.standard_normal((steps, n)) + 0j
    res_raw, res = padded((steps, n))
    assert lib.trova_residual_path(fn, tc.cptr(cur), tc.cptr(fwd), tc.cptr(par + 0j), steps, n, n, tc.ptr(res)) == 0
    want = np.array([m.value(fwd[t], cur[t]).real for t in range(steps)])
    np.testing.assert_allclose(res / row.T, want / row.T, rtol=1e-13, atol=1e-13 * np.abs(want / row.T).max())

    # Complex-step Jacobians in levels: a and b themselves.
    a_raw, a = padded((n, n))
    b_raw, b = padded((n, n))
    assert lib.klein_preproc(fn, tc.ptr(m.ss), tc.ptr(par), n, 0, n, 0, tc.ptr(a), tc.ptr(b)) == 0
    assert guards_intact(res_raw, a_raw, b_raw)
    np.testing.assert_allclose(a / row, m.a, rtol=1e-13, atol=1e-14 * np.abs(m.a).max())
    np.testing.assert_allclose(b / row, m.b, rtol=1e-13, atol=1e-14 * np.abs(m.b).max())

    # In logarithms, at a point where f = r is not zero (unit scale, since
    # log(1 + f) is not scale-free): x_j df_i/dx_j / (1 + f_i).
    if scale == 1.0:
        m.r = 0.2 * rng.uniform(-1, 1, n)
        la, lb = np.full((n, n), np.nan), np.full((n, n), np.nan)
        assert lib.klein_preproc(fn, tc.ptr(m.ss), tc.ptr(par), n, 0, n, 1, tc.ptr(la), tc.ptr(lb)) == 0
        np.testing.assert_allclose(la, m.a * m.ss / (1 + m.r)[:, None], rtol=1e-12, atol=1e-13)
        np.testing.assert_allclose(lb, m.b * m.ss / (1 + m.r)[:, None], rtol=1e-12, atol=1e-13)
        m.r = np.zeros(n)

    # Newton from a nearby seed finds the point, quadratically.
    seed = m.ss * (1 + 1e-3 * rng.uniform(-1, 1, n))
    ss_raw, ss = padded((n,))
    iters = ctypes.c_int64(-1)
    assert lib.trova_steady_state_newton(fn, tc.ptr(seed), tc.ptr(par), n, 0, 20, 1e-12 * row.max(),
                                         tc.ptr(ss), ctypes.byref(iters)) == 0
    assert 1 <= iters.value <= 8 and guards_intact(ss_raw)
    np.testing.assert_allclose(ss, m.ss, rtol=1e-11)

    # Bicomplex Hessian: H exactly (the model is quadratic).
    H_raw, H = padded((n, 2 * n, 2 * n))
    assert lib.trova_bicomplex_hessian(bc_fn, tc.ptr(m.ss), tc.ptr(par), n, 0, n, 1e-8, tc.ptr(H)) == 0
    assert guards_intact(H_raw)
    np.testing.assert_allclose(H / row[:, :, None], m.H, rtol=1e-12, atol=1e-13 * np.abs(m.H).max())

    # QZ: the known policy and transition, the Blanchard-Kahn code, the roots,
    # and the same policy from SciPy's ordered QZ of the same pencil.
    st, stab, eig, F, P, S, T, Z = tc.klein_solve(lib, zgges, a, b, nx)
    assert st == 0 and stab == 0
    np.testing.assert_allclose(F, m.gx, atol=1e-9 * max(1.0, np.abs(m.gx).max(initial=0)))
    np.testing.assert_allclose(P, m.hx, atol=1e-9)
    # SciPy's ordered QZ gets the pencil back at unit scale (equations in
    # their own units do not change the solution), where LAPACK needs no
    # scaling of its own.
    SS, TT, alpha, beta, _, ZZ = scipy.linalg.ordqz(a / row, b / row, sort=lambda al, be: np.abs(al) > np.abs(be),
                                                    output="complex")
    assert int((np.abs(alpha) > np.abs(beta)).sum()) == nx
    Z11_inv = np.linalg.inv(ZZ[:nx, :nx])
    np.testing.assert_allclose(F, ZZ[nx:, :nx] @ Z11_inv, atol=1e-9 * max(1.0, np.abs(m.gx).max(initial=0)))
    np.testing.assert_allclose(P, ZZ[:nx, :nx] @ np.linalg.solve(SS[:nx, :nx], TT[:nx, :nx]) @ Z11_inv, atol=1e-9)
    # Roots beta / alpha, infinite for a static equation. Only at unit
    # scale: the roots' test for a vanishing S diagonal is absolute (1e-12).
    if scale == 1.0:
        finite = np.isfinite(m.roots)
        assert np.sum(~np.isfinite(eig)) == np.sum(~finite)
        assert_same_set(eig[np.isfinite(eig)], m.roots[finite])
        assert np.all(np.abs(eig[:nx]) < 1)

    # Second order from the library's own first-order solution and Hessian,
    # against the unreduced Kronecker system of the true one.
    gx, hx = np.ascontiguousarray(F.real), np.ascontiguousarray(P.real)
    gxx_raw, gxx = padded((ny, nx, nx))
    hxx_raw, hxx = padded((nx, nx, nx))
    assert lib.trova_second_order(tc.ptr(a), tc.ptr(b), tc.ptr(H), tc.ptr(gx if ny else np.zeros(1)),
                                  tc.ptr(hx), n, nx, tc.ptr(gxx), tc.ptr(hxx)) == 0
    assert guards_intact(gxx_raw, hxx_raw)
    g_ref, h_ref, M = unreduced_solve(m.a, m.b, m.H, m.gx, m.hx, nx)
    tol = 1e-10 * np.linalg.cond(M) * max(1.0, np.abs(h_ref).max(), np.abs(g_ref).max(initial=0))
    np.testing.assert_allclose(gxx, g_ref, atol=tol)
    np.testing.assert_allclose(hxx, h_ref, atol=tol)
    # The dense reference path on the same inputs: the same terms.
    gd, hd = np.full((max(ny, 1), nx, nx), np.nan), np.full((nx, nx, nx), np.nan)
    assert lib.trova_second_order_dense(tc.ptr(a), tc.ptr(b), tc.ptr(H), tc.ptr(gx if ny else np.zeros(1)),
                                        tc.ptr(hx), n, nx, tc.ptr(gd), tc.ptr(hd)) == 0
    np.testing.assert_allclose(gxx, gd[:ny], atol=tol)
    np.testing.assert_allclose(hxx, hd, atol=tol)

    # Risk corrections for shocks loaded on the states.
    eta = np.ascontiguousarray(rng.standard_normal((nx, ne)))
    gss_raw, gss = padded((ny,))
    hss_raw, hss = padded((nx,))
    one = np.zeros(1)
    assert lib.trova_second_order_risk(tc.ptr(a), tc.ptr(b), tc.ptr(H), tc.ptr(gx if ny else one),
                                       tc.ptr(gxx if ny else one), tc.ptr(eta if ne else one), n, nx, ne,
                                       tc.ptr(gss if ny else one), tc.ptr(hss)) == 0
    assert guards_intact(gss_raw, hss_raw)
    gss_ref, hss_ref = risk_reference(m.a, m.b, m.H, m.gx, g_ref, eta, nx)
    big = max(1.0, np.abs(gss_ref).max(initial=0), np.abs(hss_ref).max(initial=0))
    np.testing.assert_allclose(gss, gss_ref, atol=tol * big)
    np.testing.assert_allclose(hss, hss_ref, atol=tol * big)
    if ne == 0:
        assert not gss.any() and not hss.any()
