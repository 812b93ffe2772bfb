"""NumPy reference implementations shared by the tests."""
import numpy as np


def numpy_philox(key0, key1, s0, s1, c0=0, c1=0):
    """NumPy's Philox at counter {c0, c1, s0, s1}: the library's stream."""
    return np.random.Philox(key=np.array([key0, key1], dtype=np.uint64),
                            counter=np.array([c0, c1, s0, s1], dtype=np.uint64))


def expected_shocks(plan, rep):
    """A ShockPlan's draw for replication rep, computed with NumPy's Generator."""
    T, scale = plan.T, plan.scale
    out = np.zeros((T, plan.n_exog))
    for e in plan.entry_dicts:
        gen = np.random.Generator(numpy_philox(e["key"], e["idx"], rep, 0))
        if e.get("family", 0) == 1:
            out[:, e["columns"][0]] = scale * (e["low"] + e["span"] * gen.random(T))
        else:
            w = len(e["columns"])
            z = gen.standard_normal(T * w).reshape(T, w)
            loc = np.zeros(w) if e.get("loc") is None else np.asarray(e["loc"])
            out[:, e["columns"]] = scale * (loc + z @ np.asarray(e["factor"]).T)
    return out


def linear_path(A, B, x0, eps):
    """x_t = A x_{t-1} + B eps_t from x_{-1} = x0, as a T x n array."""
    out, x = [], np.asarray(x0, dtype=float)
    for e in eps:
        x = A @ x + B @ e
        out.append(x)
    return np.array(out).reshape(len(eps), len(x0))


def pruned_path(hx, gx, bx, hxx, gxx, hss, gss, x0, eps):
    """Pruned second-order states and controls (deviations), T x nx and T x ny."""
    xf, xs = np.asarray(x0, dtype=float), np.zeros(len(x0))
    xs_out, ys_out = [], []
    for e in eps:
        xf_next = hx @ xf + bx @ e
        xs = hx @ xs + 0.5 * np.einsum("iab,a,b->i", hxx, xf, xf) + 0.5 * hss
        x = xf_next + xs
        y = gx @ x + 0.5 * np.einsum("jab,a,b->j", gxx, xf_next, xf_next) + 0.5 * gss
        xs_out.append(x)
        ys_out.append(y)
        xf = xf_next
    T = len(eps)
    return np.array(xs_out).reshape(T, len(x0)), np.array(ys_out).reshape(T, len(gss))


def stable(rng, n, radius=0.9):
    """A random n x n matrix with spectral radius `radius`."""
    a = rng.standard_normal((n, n))
    return radius * a / max(np.max(np.abs(np.linalg.eigvals(a))), 1e-12) if n else a


def spd(rng, n, ridge=0.5):
    """A random symmetric positive definite n x n matrix."""
    a = rng.standard_normal((n, n))
    return a @ a.T / max(n, 1) + ridge * np.eye(n)


def statsmodels_filter(A, B, C, d, Q, R, y, x0, P0):
    """statsmodels' Kalman filter on x_t = A x_{t-1} + B eps_t, y_t = C x_t + d + u_t
    with x_{-1} ~ (x0, P0): its known initialisation is the first prediction.
    The state noise enters as B Q B' with an identity selection (statsmodels
    wants no more shocks than states). The steady-state shortcut is off, so
    every period is filtered in full."""
    from statsmodels.tsa.statespace.kalman_filter import KalmanFilter
    m, n = C.shape
    kf = KalmanFilter(k_endog=m, k_states=n, k_posdef=n)
    kf.bind(np.array(y, dtype=float))
    kf["design"], kf["obs_intercept"], kf["obs_cov"] = C, d[:, None], R
    kf["transition"], kf["selection"], kf["state_cov"] = A, np.eye(n), B @ Q @ B.T
    kf.initialize_known(A @ x0, A @ P0 @ A.T + B @ Q @ B.T)
    kf.tolerance = 0
    return kf.filter()


def kalman_recursion(A, B, Q, R, y, x0, P0, h, H, symmetrize=0, jitter=0.0):
    """The linear or extended Kalman recursion read off its definition.

    x_t = A x_{t-1} + B eps_t, y_t = h(x_t) + u_t, linearised at the predicted
    state with the Jacobian H(x). S is factored from its lower triangle (plus
    the jitter, which enters only the factor); the covariance update is the
    Joseph form on the full matrices, so inputs that are not symmetric are
    followed as given. A period whose S is not finite or not positive definite
    stops the recursion with status -3. Returns (status, loglik, histories),
    the histories holding the completed periods' rows, with the Jacobian of
    each period under "H" and the shock estimates Q B' H' S^-1 v under "eps_hat".
    """
    sym = (lambda a: (a + a.T) / 2) if symmetrize else (lambda a: a)
    n, m = len(x0), y.shape[1]
    BQBT = B @ Q @ B.T
    BQBT = (BQBT + BQBT.T) / 2
    x, P, ll = np.asarray(x0, dtype=float), np.asarray(P0, dtype=float), 0.0
    names = "x_pred x_filt P_pred P_filt y_pred y_filt innov std_innov S eps_hat H".split()
    hist = {k: [] for k in names}
    status = 0
    for t in range(y.shape[0]):
        xp = A @ x
        Pp = sym(A @ P @ A.T + BQBT)
        yp, Ht = h(xp), H(xp)
        v = y[t] - yp
        S = sym(Ht @ Pp @ Ht.T + R)
        if not np.isfinite(S).all():
            status = -3
            break
        lower = np.tril(S) + np.tril(S, -1).T
        try:
            L = np.linalg.cholesky(lower + max(jitter, 0.0) * np.eye(m))
        except np.linalg.LinAlgError:
            status = -3
            break
        Sj = L @ L.T
        K = Pp @ Ht.T @ np.linalg.inv(Sj)
        x = xp + K @ v
        IKH = np.eye(n) - K @ Ht
        P = sym(IKH @ Pp @ IKH.T + K @ R @ K.T)
        Sinv_v = np.linalg.solve(Sj, v)
        ll += -0.5 * (2 * np.log(np.diag(L)).sum() + v @ Sinv_v + m * np.log(2 * np.pi))
        for k, val in (("x_pred", xp), ("x_filt", x), ("P_pred", Pp), ("P_filt", P), ("y_pred", yp),
                       ("y_filt", h(x)), ("innov", v), ("std_innov", np.linalg.solve(L, v)), ("S", S),
                       ("eps_hat", Q @ B.T @ Ht.T @ Sinv_v), ("H", Ht)):
            hist[k].append(val)
    return status, ll, hist


def unreduced_solve(a, b, fxx, gx, hx, nx):
    """gxx and hxx from the unreduced second-order system: all n nx^2
    equations in all n nx^2 entries, a Kronecker-product matrix solved
    densely. Returns (gxx, hxx, the system matrix)."""
    n = a.shape[0]
    ny = n - nx
    fyp, fy = a[:, nx:], -b[:, nx:]
    C = a[:, :nx] + fyp @ gx
    V = np.vstack([hx, gx @ hx, np.eye(nx), gx])
    S = np.einsum("irc,rj,ck->ijk", fxx, V, V)
    A1 = np.hstack([fyp, np.zeros((n, nx))])
    A2 = np.hstack([fy, C])
    K = np.kron(hx.T, hx.T)
    M = np.kron(A1, K) + np.kron(A2, np.eye(nx * nx))
    x = np.linalg.solve(M, -S.reshape(-1)).reshape(n, nx, nx)
    return x[:ny], x[ny:], M


def risk_reference(a, b, fxx, gx, gxx, eta, nx):
    """gss and hss from the n x n risk system written out with einsum."""
    n = a.shape[0]
    fyp, fy = a[:, nx:], -b[:, nx:]
    C = a[:, :nx] + fyp @ gx
    coef = np.hstack([fyp + fy, C])
    W = np.vstack([eta, gx @ eta])  # n x ne: the responses w_phi
    G = np.einsum("il,lpq->ipq", fyp, gxx)
    rhs = np.einsum("ipq,pf,qf->i", G, eta, eta) + np.einsum("irc,rf,cf->i",
                                                            fxx[:, :n, :n], W, W)
    x = np.linalg.solve(coef, -rhs)
    return x[: n - nx], x[n - nx:]


def assert_same_set(got, ref):
    """Two sets of complex roots agree to 1e-9 relative."""
    # Every root has a partner in the other set (conjugate pairs and the order
    # inside the selected block may differ).
    d = np.abs(got[:, None] - ref[None, :]) / np.maximum(1.0, np.abs(ref))[None, :]
    assert np.all(d.min(axis=1) < 1e-9) and np.all(d.min(axis=0) < 1e-9)
