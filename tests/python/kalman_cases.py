"""Linear-filter test models and the ctypes plumbing to run the kernels on them."""
import ctypes

import numpy as np

import trova_ctypes as tc
from references import spd, stable

KF_MATRICES = "A B C d Q R y x0 P0".split()
HISTORIES = "x_pred x_filt P_pred P_filt y_pred y_filt innov std_innov S eps_hat loglik".split()


def linear_model(rng, n, m, k, T, radius=0.9):
    """A stable model with random observations (the filter need not have generated them)."""
    mats = {
        "A": stable(rng, n, radius), "B": rng.standard_normal((n, k)), "C": rng.standard_normal((m, n)),
        "d": rng.standard_normal(m), "Q": spd(rng, k), "R": spd(rng, m), "y": rng.standard_normal((T, m)),
        "x0": rng.standard_normal(n), "P0": spd(rng, n),
    }
    return {key: np.ascontiguousarray(v, dtype=np.float64) for key, v in mats.items()}


def history_buffers(n, m, k, T, fill=np.nan):
    shapes = {"x_pred": (T, n), "x_filt": (T, n), "P_pred": (T, n, n), "P_filt": (T, n, n),
              "y_pred": (T, m), "y_filt": (T, m), "innov": (T, m), "std_innov": (T, m),
              "S": (T, m, m), "eps_hat": (T, k), "loglik": (1,)}
    return {name: np.full(shape, fill) for name, shape in shapes.items()}


def run_kf(lib, mats, symmetrize=0, jitter=0.0, return_shocks=1, store_history=1, omit=()):
    """kf_hot_loop on a model; returns (status, outputs). Outputs named in
    `omit` are passed as NULL."""
    n, k = mats["B"].shape
    m, T = mats["C"].shape[0], mats["y"].shape[0]
    inp = tc.kf_inputs(n, m, k, T, *[tc.ptr(mats[x]) for x in KF_MATRICES], symmetrize, jitter,
                       return_shocks, store_history)
    out = history_buffers(n, m, k, T)
    rec = tc.kf_outputs(*[None if h in omit else tc.ptr(out[h]) for h in HISTORIES])
    arena = np.full(lib.kf_arena_size(n, m, k).n_float, np.nan)
    status = lib.kf_hot_loop(ctypes.byref(inp), tc.ptr(arena), ctypes.byref(rec))
    return status, out


# ---- the extended filter ----

def ekf_case(lib, mats, meas, jac, n_par=2, return_shocks=1, store_history=1, compute_y_filt=1):
    n, k = mats["B"].shape
    m, T = mats["C"].shape[0], mats["y"].shape[0]
    params = np.array([1.0, -1.0][:n_par])
    inp = tc.ekf_inputs(meas, jac, *[tc.ptr(mats[x]) for x in ("A", "B")], tc.ptr(params),
                        *[tc.ptr(mats[x]) for x in ("Q", "R", "y", "x0", "P0")], T, n, m, k, n_par, 0.0, 0,
                        compute_y_filt, return_shocks, store_history)
    out = history_buffers(n, m, k, T)
    rec = tc.ekf_outputs(*[tc.ptr(out[h]) for h in HISTORIES])
    arena = np.full(lib.ekf_arena_size(n, m, k).n_float, np.nan)
    return lib.ekf_hot_loop(ctypes.byref(inp), tc.ptr(arena), ctypes.byref(rec)), out


def linear_callbacks(mats, calls=None, nan_at=None):
    n, m = mats["C"].shape[1], mats["C"].shape[0]
    C, d = mats["C"], mats["d"]
    count = {"meas": 0}

    @tc.meas_fn
    def meas(x, params, out):
        xv = np.ctypeslib.as_array(x, shape=(n,))
        y = C @ xv + d
        count["meas"] += 1
        if nan_at is not None and count["meas"] == nan_at:
            y[0] = np.nan
        if calls is not None:
            calls.append(("meas", xv.copy()))
        np.ctypeslib.as_array(out, shape=(m,))[:] = y

    @tc.meas_fn
    def jac(x, params, out):
        assert np.ctypeslib.as_array(params, shape=(2,)).tolist() == [1.0, -1.0]
        if calls is not None:
            calls.append(("jac", np.ctypeslib.as_array(x, shape=(n,)).copy()))
        np.ctypeslib.as_array(out, shape=(m, n))[:] = C

    return meas, jac


# ---- the unscented filter ----

MODEL = ("hx", "gx", "bx", "hxx", "gxx", "hss", "gss", "steady_state")
OUT = ("x1_pred", "x2_pred", "x1_filt", "x2_filt", "x_pred", "x_filt", "P_pred", "P_filt", "y_pred", "y_filt",
       "innov", "std_innov", "S", "loglik")


def pruned_model(rng, ns, nc, ne, quad=0.2, radius=0.8):
    m = {"hx": stable(rng, ns, radius), "gx": rng.standard_normal((nc, ns)), "bx": rng.standard_normal((ns, ne)),
         "hxx": quad * rng.standard_normal((ns, ns, ns)), "gxx": quad * rng.standard_normal((nc, ns, ns)),
         "hss": 0.1 * rng.standard_normal(ns), "gss": 0.1 * rng.standard_normal(nc),
         "steady_state": rng.standard_normal(ns + nc)}
    return {k: np.ascontiguousarray(v, dtype=float) for k, v in m.items()}


def measurement_callback(fn, n_vars, n_obs, n_par):
    @tc.meas_fn
    def meas(x, params, out):
        v = np.ctypeslib.as_array(x, shape=(n_vars,))
        p = np.ctypeslib.as_array(params, shape=(n_par,))
        np.ctypeslib.as_array(out, shape=(n_obs,))[:] = fn(v, p)
    return meas


class UkfCase:
    def __init__(self, model, meas, params, Q, R, obs, z0, P0, alpha=0.5, beta=2.0, kappa=0.0, jitter=0.0,
                 symmetrize=1):
        self.model, self.meas, self.params = model, meas, np.ascontiguousarray(params, dtype=float)
        self.Q, self.R, self.obs = (np.ascontiguousarray(a, dtype=float) for a in (Q, R, obs))
        self.z0, self.P0 = np.ascontiguousarray(z0, dtype=float), np.ascontiguousarray(P0, dtype=float)
        self.alpha, self.beta, self.kappa, self.jitter, self.symmetrize = alpha, beta, kappa, jitter, symmetrize
        self.ns, self.nc = model["hx"].shape[0], model["gx"].shape[0]
        self.ne, self.no, self.T = self.Q.shape[0], self.R.shape[0], self.obs.shape[0]

    def run(self, lib, meas_ptr=None, ns=None, no=None):
        ns = self.ns if ns is None else ns
        no = self.no if no is None else no
        cb = measurement_callback(self.meas, self.ns + self.nc, self.no, len(self.params))
        inp = tc.ukf_inputs(cb if meas_ptr is None else meas_ptr, *[tc.ptr(self.model[k]) for k in MODEL],
                            tc.ptr(self.params), tc.ptr(self.Q), tc.ptr(self.R), tc.ptr(self.obs), tc.ptr(self.z0),
                            tc.ptr(self.P0), self.T, ns, self.nc, self.ne, no, len(self.params), self.alpha,
                            self.beta, self.kappa, self.jitter, self.symmetrize, 1)
        T, nz, nv = self.T, 2 * self.ns, self.ns + self.nc
        shapes = {"x1_pred": (T, self.ns), "x2_pred": (T, self.ns), "x1_filt": (T, self.ns), "x2_filt": (T, self.ns),
                  "x_pred": (T, nv), "x_filt": (T, nv), "P_pred": (T, nz, nz), "P_filt": (T, nz, nz),
                  "y_pred": (T, self.no), "y_filt": (T, self.no), "innov": (T, self.no), "std_innov": (T, self.no),
                  "S": (T, self.no, self.no), "loglik": (1,)}
        out = {k: np.full(s, np.nan) for k, s in shapes.items()}
        rec = tc.ukf_outputs(*[tc.ptr(out[k]) for k in OUT])
        arena = np.full(lib.ukf_arena_size(self.ns, self.nc, self.ne, self.no).n_float, np.nan)
        status = lib.ukf_hot_loop(ctypes.byref(inp), tc.ptr(arena), ctypes.byref(rec))
        return status, out

    def reference(self):
        """The recursion written out with NumPy."""
        M, ns, nz = self.model, self.ns, 2 * self.ns
        n_sig = 2 * nz + 1
        c = self.alpha ** 2 * (nz + self.kappa)
        gamma, w0m = np.sqrt(c), (c - nz) / c
        w0c, wi = (self.beta + 1 - self.alpha ** 2) + w0m, 1 / (2 * c)
        wm = np.r_[w0m, np.full(n_sig - 1, wi)]
        wc = np.r_[w0c, np.full(n_sig - 1, wi)]
        BQBT = M["bx"] @ self.Q @ M["bx"].T
        BQBT = (BQBT + BQBT.T) / 2  # built symmetric whatever Q

        def chol(P):
            try:
                return np.linalg.cholesky(P + self.jitter * np.eye(len(P)))
            except np.linalg.LinAlgError:
                return np.linalg.cholesky(P + (self.jitter + 1e-10 * max(0, np.max(np.diag(P)))) * np.eye(len(P)))

        def points(mean, P):
            L = gamma * chol(P)
            return np.vstack([mean, mean + L.T, mean - L.T])

        def transition(z):
            x1, x2 = z[:ns], z[ns:]
            return np.r_[M["hx"] @ x1, 0.5 * M["hss"] + M["hx"] @ x2 + 0.5 * np.einsum("iab,a,b->i", M["hxx"], x1, x1)]

        def levels(z, P11):
            x1, x2 = z[:ns], z[ns:]
            ctrl = (M["steady_state"][ns:] + 0.5 * M["gss"] + M["gx"] @ (x1 + x2)
                    + 0.5 * np.einsum("cab,ab->c", M["gxx"], np.outer(x1, x1) + P11))
            return np.r_[M["steady_state"][:ns] + x1 + x2, ctrl]

        sym = (lambda a: (a + a.T) / 2) if self.symmetrize else (lambda a: a)
        z, P, ll = self.z0.copy(), self.P0.copy(), 0.0
        hist = {k: [] for k in ("x1_pred", "x2_pred", "x1_filt", "x2_filt", "x_pred", "x_filt", "P_pred",
                                "P_filt", "y_pred", "y_filt", "innov", "std_innov", "S")}
        for t in range(self.T):
            prop = np.array([transition(s) for s in points(z, P)])
            zp = wm @ prop
            Pp = (wc[:, None] * (prop - zp)).T @ (prop - zp)
            Pp[:ns, :ns] += BQBT
            Pp = sym(Pp)
            sig = points(zp, Pp)
            Y = np.array([self.meas(levels(s, 0), self.params) for s in sig])
            ym = wm @ Y
            S = sym((wc[:, None] * (Y - ym)).T @ (Y - ym) + self.R)
            Pzy = (wc[:, None] * (sig - zp)).T @ (Y - ym)
            v = self.obs[t] - ym
            Ls = chol(S)
            K = Pzy @ np.linalg.inv(Ls @ Ls.T)
            z, P = zp + K @ v, sym(Pp - K @ Pzy.T)
            ll += -0.5 * (2 * np.log(np.diag(Ls)).sum() + v @ np.linalg.solve(Ls @ Ls.T, v) + self.no * np.log(2 * np.pi))
            xf = levels(z, P[:ns, :ns])
            for k, val in (("x1_pred", zp[:ns]), ("x2_pred", zp[ns:]), ("x1_filt", z[:ns]), ("x2_filt", z[ns:]),
                           ("x_pred", levels(zp, Pp[:ns, :ns])), ("x_filt", xf), ("P_pred", Pp), ("P_filt", P),
                           ("y_pred", ym), ("y_filt", self.meas(xf, self.params)), ("innov", v),
                           ("std_innov", np.linalg.solve(Ls, v)), ("S", S)):
                hist[k].append(val)
        return ll, {k: np.array(v) for k, v in hist.items()}


def close(got, want, rtol=1e-9):
    """got = want to rtol times the larger of 1 and want's largest magnitude."""
    np.testing.assert_allclose(got, want, rtol=0, atol=rtol * max(1.0, float(np.max(np.abs(want), initial=0.0))))
