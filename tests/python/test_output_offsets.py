"""The offset helpers against the steps: inputs packed at the helpers'
offsets feed the filter steps, and every output block read at the helpers'
offsets holds what the standalone kernel or fit computes for it. The steps
write nothing outside those blocks, gaps of a layout-gap build included."""
import ctypes

import numpy as np
import pytest
import statsmodels.api as sm

import trova_ctypes as tc
from kalman_cases import HISTORIES, KF_MATRICES, UkfCase, ekf_case, linear_callbacks, linear_model
from kalman_cases import measurement_callback, pruned_model, run_kf
from references import spd
from regression_cases import design

UNTOUCHED = -5.0


def packed_input(helper, dims, blocks):
    """The blocks placed at the input helper's offsets (NaN in between)."""
    size, at = tc.block_offsets(helper, *dims)
    assert sorted(at) == sorted(blocks)
    buf = np.full(size, np.nan)
    for name, block in blocks.items():
        buf[at[name]:at[name] + block.size] = np.ravel(block)
    return buf


def output_lane(helper, dims):
    """(lane, offsets): a lane of the helper's size plus one guard value."""
    size, at = tc.block_offsets(helper, *dims)
    return np.full(size + 1, UNTOUCHED), at


def assert_blocks(lane, at, ref, exact=True):
    """Each block of `ref` at its offset, and nothing written elsewhere."""
    assert sorted(at) == sorted(ref)
    written = np.zeros(lane.size, dtype=bool)
    for name, want in ref.items():
        want = np.ravel(want)
        got = lane[at[name]:at[name] + want.size]
        if exact:
            np.testing.assert_array_equal(got, want, err_msg=name)
        else:
            np.testing.assert_allclose(got, want, rtol=1e-12, atol=1e-14, err_msg=name)
        written[at[name]:at[name] + want.size] = True
    assert (lane[~written] == UNTOUCHED).all()


LINEAR_SHAPES = [(2, 4, 3, 6), (3, 2, 0, 5), (1, 1, 1, 4)]  # m > n, k = 0, n = 1


@pytest.mark.parametrize("shocks", [0, 1])
@pytest.mark.parametrize("n,m,k,T", LINEAR_SHAPES)
@pytest.mark.parametrize("kind", ["linear", "extended"])
def test_filter_blocks_sit_at_the_helpers_offsets(lib, rng, kind, n, m, k, T, shocks):
    mats = linear_model(rng, n, m, k, T)
    names = [h for h in HISTORIES if shocks or h != "eps_hat"]
    scratch = np.full({"linear": lib.kf_arena_size, "extended": lib.ekf_arena_size}[kind](n, m, k).n_float, np.nan)
    out, at = output_lane(f"trova_filter_{kind}_output_offsets", (n, m, k, T, shocks))
    if kind == "linear":
        status, ref = run_kf(lib, mats, symmetrize=1, jitter=1e-9, return_shocks=shocks)
        packed = packed_input("trova_filter_linear_input_offsets", (n, m, k, T), {x: mats[x] for x in KF_MATRICES})
        step = lib.trova_filter_linear_step(tc.ptr(packed), tc.ptr(scratch), T, n, m, k, 1, 1e-9, shocks, tc.ptr(out))
    else:
        # The extended filter with the linear measurement C x + d.
        meas, jac = linear_callbacks(mats)
        status, ref = ekf_case(lib, mats, meas, jac, return_shocks=shocks)
        blocks = {x: mats[x] for x in ("A", "B", "Q", "R", "y", "x0", "P0")}
        blocks["calib_params"] = np.array([1.0, -1.0])
        packed = packed_input("trova_filter_extended_input_offsets", (n, m, k, T, 2), blocks)
        step = lib.trova_filter_extended_step(tc.ptr(packed), tc.ptr(scratch), meas, jac, T, n, m, k, 2, 0, 0.0,
                                              shocks, tc.ptr(out))
    assert status == step == 0
    assert out.size - 1 == getattr(lib, f"trova_filter_{kind}_output_arena_size")(n, m, k, T, shocks)
    assert_blocks(out, at, {h: ref[h] for h in names})


@pytest.mark.parametrize("ns,nc,ne,no,T", [(1, 2, 1, 3, 5), (2, 0, 2, 1, 4), (1, 1, 1, 1, 6)])
def test_unscented_blocks_sit_at_the_helpers_offsets(lib, rng, ns, nc, ne, no, T):
    model = pruned_model(rng, ns, nc, ne)
    nz = 2 * ns
    case = UkfCase(model, lambda v, p: p[0] * np.tanh(v[np.arange(no) % v.size]) + 0.1 * v[0], [0.8],
                   spd(rng, ne) * 0.3, spd(rng, no) * 0.2, rng.standard_normal((T, no)),
                   0.1 * rng.standard_normal(nz), spd(rng, nz, 0.3) * 0.2)
    status, ref = case.run(lib)
    blocks = dict(model, params=case.params, Q=case.Q, R=case.R, obs=case.obs, z0=case.z0, P0=case.P0)
    packed = packed_input("trova_filter_unscented_input_offsets", (ns, nc, ne, no, T, 1), blocks)
    out, at = output_lane("trova_filter_unscented_output_offsets", (ns, nc, no, T))
    scratch = np.full(lib.ukf_arena_size(ns, nc, ne, no).n_float, np.nan)
    cb = measurement_callback(case.meas, ns + nc, no, 1)
    step = lib.trova_filter_unscented_step(tc.ptr(packed), tc.ptr(scratch), cb, T, ns, nc, ne, no, 1, case.alpha,
                                           case.beta, case.kappa, case.symmetrize, case.jitter, tc.ptr(out))
    assert status == step == 0
    assert_blocks(out, at, ref)
    # Negative dimensions have no layout: -1 and every offset -1.
    rec = tc.trova_filter_output_offsets()
    assert lib.trova_filter_unscented_output_offsets(ns, -1, no, T, ctypes.byref(rec)) == -1
    assert all(getattr(rec, name) == -1 for name, _ in rec._fields_)


ALPHAS = np.array([0.2, 0.05, 0.0])
# family: (context after (n, p), fit arguments between y and the record, sizer arguments after (n, p))
REGRESSIONS = {
    "ols": ((1,), (), ()),
    "ridge": ((1, 0.3), (0.3, 1), ()),
    "ridge_gs": ((3, 2, 1), (3, 2, 1), ()),
    "lasso": ((1, 10000, 1e-12, 0.05), (0.05, 1, 10000, 1e-12), ()),
    "lasso_gs": ((3, 1, 50, 1e-12), (3, 1, 50, 1e-12), (1, 3, 50)),
    "elastic_net": ((1, 10000, 1e-12, 0.05, 0.5), (0.05, 0.5, 1, 10000, 1e-12), ()),
    "elastic_net_gs": ((3, 2, 1, 10000, 1e-12, 0.5), (3, 0.5, 2, 1, 10000, 1e-12), (1, 3)),
}


@pytest.mark.parametrize("p", [1, 4])
@pytest.mark.parametrize("family", sorted(REGRESSIONS))
def test_regression_blocks_sit_at_the_helpers_offsets(lib, rng, family, p):
    n = 30
    X, y = design(rng, n, p, intercept=True)
    ctx_args, fit_args, sizer_args = REGRESSIONS[family]
    grid = family.endswith("_gs")
    ctx_cls = getattr(tc, f"trova_mc_{family}_step_ctx")
    ctx = ctx_cls(tc.ptr(ALPHAS), n, p, *ctx_args) if grid else ctx_cls(n, p, *ctx_args)
    fit_args = (tc.ptr(ALPHAS),) + fit_args if grid else fit_args

    # The step on a lane of X | y and its scratch, into an output lane sized by the helper.
    work = getattr(lib, f"trova_mc_{family}_work_arena_size")(n, p, *sizer_args)
    lane = np.full(work.n_float, np.nan)
    staged = tc.pack([X, y])
    lane[:staged.size] = staged
    int_work = np.zeros(max(work.n_int, 1), dtype=np.int64)
    status = np.array([99], dtype=np.int64)
    out, at = output_lane("trova_mc_regression_output_offsets", (p, int(family == "ols")))
    rc = getattr(lib, f"trova_mc_{family}_runner")(0, tc.ptr(lane), tc.ptr(out), tc.ptr(int_work), tc.ptr(status),
                                                    ctypes.addressof(ctx))

    # The fit on its own record, with its own arrays for coef, se and scratch.
    coef, se = np.full(p, np.nan), np.full(p, np.nan)
    rec = tc.trova_mc_regression_record(n, p, tc.ptr(coef), tc.ptr(se) if family == "ols" else None,
                                        np.nan, np.nan, -2)
    fit = getattr(lib, f"trova_mc_{family}_fit")
    n_data = 2 + len(fit_args)  # X, y and the fit's parameters come before the record
    scratch = [np.zeros(4096, dtype=np.int64 if t is tc.P_i64 else np.float64) for t in fit.argtypes[n_data + 1:]]
    fit(tc.ptr(X), tc.ptr(y), *fit_args, ctypes.byref(rec), *[tc.ptr(a) for a in scratch])

    assert rc == status[0] == rec.status == 0
    ref = {"coef": coef, "ssr": [rec.ssr], "sst": [rec.sst]}
    if family == "ols":
        ref["se"] = se
        ols = sm.OLS(y, X).fit()
        np.testing.assert_allclose(out[at["coef"]:at["coef"] + p], ols.params, rtol=1e-10)
        np.testing.assert_allclose(out[at["se"]:at["se"] + p], ols.bse, rtol=1e-9)
        np.testing.assert_allclose(out[at["ssr"]], ols.ssr, rtol=1e-10)
    np.testing.assert_allclose(out[at["sst"]], ((y - y.mean()) ** 2).sum(), rtol=1e-12)
    assert_blocks(out, at, ref, exact=False)
