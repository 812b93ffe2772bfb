"""The Philox stream, its fills and the shock plan against NumPy's own Philox.

NumPy's Philox(key=[k0, k1], counter=[c0, c1, s0, s1]) increments its counter
before each block, as the library's stream does, so its raw words, and a
Generator's standard_normal and random over it, are the exact reference.
"""
import ctypes

import numpy as np
import pytest

import trova_ctypes as tc
from references import expected_shocks, numpy_philox

M64 = 2**64 - 1
# (key0, key1, stream0, stream1): zeros, small values, words at the top of
# the range, and a stream word with only the high bit set.
STREAMS = [(0, 0, 0, 0), (1, 2, 3, 4), (M64, 12345, M64, M64 - 1), (0xDEADBEEF, 7, 2**63, 1)]


def seeded(lib, key0, key1, s0, s1):
    st = tc.trova_philox_state()
    lib.trova_philox_seed(ctypes.byref(st), key0, key1, s0, s1)
    return st


def raw_words(lib, st, n):
    return np.array([lib.trova_philox_next_u64(ctypes.byref(st)) for _ in range(n)], dtype=np.uint64)


def fill(lib, kind, st, n, guard=1):
    """n values drawn into a buffer with `guard` sentinel cells behind them."""
    out = np.full(max(n, 0) + guard, -7.0)
    getattr(lib, f"trova_philox_standard_{kind}_fill")(ctypes.byref(st), n, tc.ptr(out))
    assert (out[max(n, 0):] == -7.0).all(), "wrote past the end"
    return out[:max(n, 0)]


@pytest.mark.parametrize("stream", STREAMS)
def test_raw_words_equal_numpy(lib, stream):
    st = seeded(lib, *stream)
    np.testing.assert_array_equal(raw_words(lib, st, 4001), numpy_philox(*stream).random_raw(4001))
    assert st.ctr[2] == stream[2] and st.ctr[3] == stream[3] and st.key[0] == stream[0]


@pytest.mark.parametrize("c1", [0, 7])
def test_counter_word_0_wraps_into_word_1(lib, c1):
    st = seeded(lib, 9, 8, 5, 6)
    st.ctr[0], st.ctr[1] = M64 - 2, c1
    np.testing.assert_array_equal(raw_words(lib, st, 24), numpy_philox(9, 8, 5, 6, M64 - 2, c1).random_raw(24))
    assert (st.ctr[0], st.ctr[1]) == (3, c1 + 1)


def test_no_carry_into_the_stream_words(lib):
    # With the whole 128-bit counter at its top the next block is that of
    # counter {0, 0, s0, s1}: the stream words do not change. NumPy carries
    # into word 2, so its stream s0 - 1 reaches the same block.
    st = seeded(lib, 3, 4, 11, 12)
    st.ctr[0] = st.ctr[1] = M64
    np.testing.assert_array_equal(raw_words(lib, st, 4), numpy_philox(3, 4, 10, 12, M64, M64).random_raw(4))
    assert list(st.ctr) == [0, 0, 11, 12]


@pytest.mark.parametrize("stream", STREAMS)
@pytest.mark.parametrize("kind,method", [("normal", "standard_normal"), ("uniform", "random")])
def test_long_fills_equal_numpy_generator(lib, stream, kind, method):
    got = fill(lib, kind, seeded(lib, *stream), 200_003)
    want = getattr(np.random.Generator(numpy_philox(*stream)), method)(200_003)
    np.testing.assert_array_equal(got, want)


def test_fills_in_pieces_continue_one_stream(lib):
    # Uneven pieces of normals, uniforms and raw words, mixed: every fill must
    # leave the state where word-by-word drawing would, whatever buffer
    # position it starts and ends at.
    rng = np.random.default_rng(2)
    st = seeded(lib, 77, 1, 2, 3)
    gen = np.random.Generator(numpy_philox(77, 1, 2, 3))
    for _ in range(60):
        what = rng.integers(3)
        n = int(rng.choice([0, 1, 2, 3, 4, 5, 7, 8, 9, 31, 1000]))
        if what == 0:
            np.testing.assert_array_equal(fill(lib, "normal", st, n), gen.standard_normal(n))
        elif what == 1:
            np.testing.assert_array_equal(fill(lib, "uniform", st, n), gen.random(n))
        else:
            np.testing.assert_array_equal(raw_words(lib, st, n), gen.bit_generator.random_raw(n))


@pytest.mark.parametrize("kind", ["normal", "uniform"])
def test_empty_fills_touch_nothing(lib, kind):
    st = seeded(lib, 1, 2, 3, 4)
    for n in (0, -5):
        fill(lib, kind, st, n, guard=4)
    assert st.buffer_pos == 4 and st.ctr[0] == 0
    assert lib.trova_philox_next_u64(ctypes.byref(st)) == numpy_philox(1, 2, 3, 4).random_raw()


def test_bitgen_binding_callbacks(lib):
    st = seeded(lib, 5, 5, 5, 5)
    bg = tc.bitgen_t()
    lib.trova_philox_bind(ctypes.byref(st), ctypes.byref(bg))
    assert bg.state == ctypes.addressof(st)
    ref = numpy_philox(5, 5, 5, 5).random_raw(12)
    got_u64 = [bg.next_uint64(bg.state) for _ in range(3)]
    got_u32 = [bg.next_uint32(bg.state) for _ in range(3)]  # a whole word each
    got_dbl = [bg.next_double(bg.state) for _ in range(3)]
    got_raw = [bg.next_raw(bg.state) for _ in range(3)]
    assert got_u64 == [int(w) for w in ref[0:3]]
    assert got_u32 == [int(w) >> 32 for w in ref[3:6]]
    assert got_dbl == [(int(w) >> 11) * 2.0**-53 for w in ref[6:9]]
    assert got_raw == [int(w) for w in ref[9:12]]


def numpy_bitgen(bitgen):
    """NumPy's own bitgen_t of a NumPy bit generator, read through its capsule."""
    get = ctypes.pythonapi.PyCapsule_GetPointer
    get.restype = ctypes.c_void_p
    get.argtypes = [ctypes.py_object, ctypes.c_char_p]
    return ctypes.cast(get(bitgen.capsule, b"BitGenerator"), ctypes.POINTER(tc.bitgen_t))


@pytest.mark.parametrize("kind,method", [("normal", "standard_normal"), ("uniform", "random")])
def test_generic_fills_over_bound_and_numpy_bit_generators(lib, kind, method):
    # Through the binding of a library state, and through a bitgen_t record
    # that NumPy itself built (which also checks the record's layout).
    want = getattr(np.random.Generator(numpy_philox(4, 3, 2, 1)), method)(5000)
    st = seeded(lib, 4, 3, 2, 1)
    bg = tc.bitgen_t()
    lib.trova_philox_bind(ctypes.byref(st), ctypes.byref(bg))
    fn = getattr(lib, f"trova_rng_standard_{kind}_fill")
    out = np.empty(5000)
    fn(ctypes.byref(bg), 5000, tc.ptr(out))
    np.testing.assert_array_equal(out, want)
    theirs = numpy_philox(4, 3, 2, 1)
    out[:] = 0
    fn(numpy_bitgen(theirs), 5000, tc.ptr(out))
    np.testing.assert_array_equal(out, want)


# ---- shock plan ----


def mixed_entries():
    cov = np.array([[1.0, 0.6, -0.2], [0.6, 2.0, 0.3], [-0.2, 0.3, 0.5]])
    return [
        {"columns": [4, 0, 2], "factor": np.linalg.cholesky(cov), "loc": [0.1, -1.0, 3.0],
         "key": 0xABCDEF, "idx": 0},
        {"family": 1, "columns": [1], "low": -1.0, "span": 2.0, "key": 0xABCDEF, "idx": 1},
        {"columns": [5], "factor": [[0.5]], "key": 99, "idx": 2},
    ]


@pytest.mark.parametrize("rep", [0, 1, 2**40 + 3, 2**63 - 1])
def test_shock_draws_equal_numpy_streams(lib, rep):
    plan = tc.ShockPlan(37, 7, mixed_entries(), scale=1.5)
    got = plan.draw(rep)
    np.testing.assert_allclose(got, expected_shocks(plan, rep), rtol=1e-14, atol=1e-14)
    assert (got[:, [3, 6]] == 0).all()  # columns no entry drives
    assert (np.abs(got[:, 1]) <= 1.5).all()
    # The same replication again gives the same bits; the next one differs.
    assert got.tobytes() == plan.draw(rep).tobytes()
    assert not np.isclose(got[:, 0], plan.draw(rep ^ 1)[:, 0]).any()


def test_identity_factor_gives_the_raw_normals(lib):
    T, n = 50, 4
    plan = tc.ShockPlan(T, n, [{"columns": list(range(n)), "factor": np.eye(n), "key": 5, "idx": 9}])
    want = np.random.Generator(numpy_philox(5, 9, 3, 0)).standard_normal(T * n).reshape(T, n)
    np.testing.assert_array_equal(plan.draw(3), want)
    zero = tc.ShockPlan(T, n, plan.entry_dicts, scale=0.0)
    assert (zero.draw(3) == 0).all()


def test_entry_order_and_overlapping_columns(lib):
    entries = mixed_entries()
    a = tc.ShockPlan(20, 7, entries).draw(4)
    b = tc.ShockPlan(20, 7, entries[::-1]).draw(4)
    assert a.tobytes() == b.tobytes()  # disjoint columns: order does not matter
    # Two entries naming one column: the later one's values remain.
    later = {"family": 1, "columns": [0], "low": 10.0, "span": 1.0, "key": 1, "idx": 7}
    c = tc.ShockPlan(20, 7, entries + [later]).draw(4)
    assert (c[:, 0] >= 10.0).all() and (c[:, 1:] == a[:, 1:]).all()


def test_correlated_entry_reproduces_its_covariance(lib):
    cov = np.array([[2.0, 0.9, 0.0], [0.9, 1.0, -0.4], [0.0, -0.4, 0.7]])
    loc = np.array([1.0, 0.0, -2.0])
    T = 200_000
    plan = tc.ShockPlan(T, 3, [{"columns": [0, 1, 2], "factor": np.linalg.cholesky(cov), "loc": loc,
                        "key": 17, "idx": 0}])
    x = plan.draw(0)
    # Sampling error of a covariance entry is about sqrt(2 / T) times its scale.
    np.testing.assert_allclose(x.mean(axis=0), loc, atol=5 * np.sqrt(2.0 / T))
    np.testing.assert_allclose(np.cov(x.T), cov, atol=6 * 2.0 * np.sqrt(2.0 / T))
