"""Normal quantile (AS 241) against SciPy's ndtri, and the inverse error
function against SciPy's erfinv."""
import numpy as np
import pytest
from scipy import special

import trova_ctypes as tc


def quantile_array(lib, p):
    p = np.ascontiguousarray(p, dtype=float)
    out = np.full(p.shape, -7.0)
    lib.trova_ndtri_as241_into(tc.ptr(p), p.size, tc.ptr(out))
    return out


def max_rel(got, want):
    return np.max(np.abs(got - want) / np.maximum(np.abs(want), 1e-300))


# Probabilities in each of the three regions and across their borders.
GRIDS = {
    "central": np.linspace(0.075 + 1e-9, 0.925 - 1e-9, 20001),
    "intermediate": np.concatenate([np.geomspace(np.exp(-25.0) * 1.0001, 0.0749, 5001),
                                    1.0 - np.geomspace(1e-10, 0.0749, 3001)]),
    "far_lower": np.geomspace(1e-320, np.exp(-25.0) * 0.9999, 5001),
    "borders": np.array([0.075, 0.925, np.nextafter(0.075, 0), np.nextafter(0.925, 1),
                         np.exp(-25.0), np.nextafter(np.exp(-25.0), 0),
                         np.nextafter(np.exp(-25.0), 1)]),
}


@pytest.mark.parametrize("region", sorted(GRIDS))
def test_quantile_matches_scipy(lib, region):
    p = GRIDS[region]
    got = quantile_array(lib, p)
    want = special.ndtri(p)
    assert max_rel(got, want) < 1e-15
    # The scalar entry point gives the same values as the array form.
    for i in range(0, p.size, max(1, p.size // 50)):
        assert lib.trova_ndtri_as241(p[i]) == got[i]


def test_far_upper_tail_is_odd(lib):
    # 1 - p is exact for these p, so the upper tail mirrors the lower one.
    p = np.geomspace(1e-16, 1e-12, 101)
    up = quantile_array(lib, 1.0 - p)
    assert max_rel(up, special.ndtri(1.0 - p)) < 1e-15
    np.testing.assert_allclose(up, -quantile_array(lib, 1.0 - (1.0 - p)), rtol=1e-15)


@pytest.mark.parametrize("p, want", [(0.5, 0.0), (0.975, 1.959963984540054),
                                     (0.025, -1.959963984540054), (0.0, -np.inf),
                                     (-0.5, -np.inf), (1.0, np.inf), (3.0, np.inf),
                                     (-np.inf, -np.inf), (np.inf, np.inf)])
def test_quantile_edges(lib, p, want):
    got = lib.trova_ndtri_as241(p)
    if np.isfinite(want):
        assert got == pytest.approx(want, rel=1e-15, abs=0.0)
    else:
        assert got == want


def test_nan_propagates_in_both_forms(lib):
    assert np.isnan(lib.trova_ndtri_as241(np.nan))
    assert np.isnan(lib.trova_erfinv_from_as241(np.nan))
    got = quantile_array(lib, [0.2, np.nan, 0.7])
    assert np.isnan(got[1]) and np.isfinite(got[[0, 2]]).all()


@pytest.mark.parametrize("n", [0, -3])
def test_array_form_writes_nothing_for_empty_counts(lib, n):
    p = np.array([0.3])
    out = np.array([-7.0])
    lib.trova_ndtri_as241_into(tc.ptr(p), n, tc.ptr(out))
    assert out[0] == -7.0


@pytest.mark.parametrize("y", np.concatenate([np.linspace(-0.999999, 0.999999, 2001),
                                              -1.0 + np.geomspace(1e-15, 1e-3, 41),
                                              1.0 - np.geomspace(1e-15, 1e-3, 41)]))
def test_erfinv_matches_scipy(lib, y):
    got = lib.trova_erfinv_from_as241(y)
    want = special.erfinv(y)
    # (y + 1) / 2 is rounded to one ulp of 1, so near 0 the error is absolute:
    # d erfinv / dy = sqrt(pi) / 2 exp(x^2) times half an ulp of 1.
    tol = 4e-16 * np.sqrt(np.pi) / 2 * np.exp(want * want) + 1e-14 * abs(want)
    assert abs(got - want) <= tol
    # And erf of the result gives y back to the same rounding.
    assert abs(special.erf(got) - y) <= 4e-16 + 1e-15 * abs(y)


@pytest.mark.parametrize("y, want", [(0.0, 0.0), (1.0, np.inf), (-1.0, -np.inf),
                                     (2.0, np.inf), (-2.0, -np.inf)])
def test_erfinv_edges(lib, y, want):
    assert lib.trova_erfinv_from_as241(y) == want


def test_erfinv_is_not_the_quantile_of_the_scaled_probability(lib):
    # The inverse error function proper: erf(erfinv(0.5)) = 0.5, which the
    # composition ndtri(((y + 1) / 2) / sqrt 2) would miss by far.
    x = lib.trova_erfinv_from_as241(0.5)
    assert x == pytest.approx(0.4769362762044699, rel=1e-14)
    assert abs(x - special.ndtri(0.75 / np.sqrt(2.0))) > 0.4
