"""The runner and the source steps driven from Python through ctypes."""
import ctypes

import numpy as np
import pytest

import trova_ctypes as tc

INT64_MIN = np.iinfo(np.int64).min


def source_pipeline(lib, n_rep, n_workers, rng):
    """Raw model data (batched 3 x 2 states, shared 4 observables) and a batched payload."""
    states = rng.standard_normal((n_rep, 6))
    obs = rng.standard_normal(4)
    params = rng.standard_normal((n_rep, 3))
    raw = tc.trova_mc_raw_model_data_step_ctx(tc.ptr(states), 6, 1, tc.ptr(obs), 4, 0)
    pay = tc.trova_mc_payload_step_ctx(tc.ptr(params), 3, 1)
    p = tc.Pipeline(n_rep, n_workers)
    p._keep += [states, obs, params]
    p.add_step(tc.fn_address(lib, "trova_mc_raw_model_data_runner"), raw, n_out=10, n_int_out=1)
    p.add_step(tc.fn_address(lib, "trova_mc_payload_runner"), pay, n_out=3, n_int_out=1)
    return p, states, obs, params


def test_source_steps_publish_caller_data(lib):
    rng = np.random.default_rng(11)
    p, states, obs, params = source_pipeline(lib, 7, 2, rng)
    assert p.run() == 0
    np.testing.assert_array_equal(p.failure_step, -1)
    np.testing.assert_array_equal(p.steps[0]["retained"][:, :6], states)
    np.testing.assert_array_equal(p.steps[0]["retained"][:, 6:], np.tile(obs, (7, 1)))
    np.testing.assert_array_equal(p.steps[1]["retained"], params)
    np.testing.assert_array_equal(p.steps[0]["int_retained"], 0)


def test_python_step_computes_on_bound_inputs_from_worker_threads(lib):
    """A Python callback step, called concurrently by the OpenMP workers,
    sees exactly the lane its bindings describe and can fail replications."""
    n_rep = 24
    rng = np.random.default_rng(12)
    p, states, obs, params = source_pipeline(lib, n_rep, 2, rng)

    @tc.trova_mc_step_fn
    def weighted(rep, lane, out, int_work, int_out, ctx):
        x = np.ctypeslib.as_array(lane, shape=(8,))
        y = np.ctypeslib.as_array(out, shape=(2,))
        # second state column . reversed params, plus the fill
        y[0] = x[0:3] @ x[3:6] + x[6]
        y[1] = x[7]
        return 3 if rep % 5 == 4 else 0

    s = p.add_step(weighted, None, n_in=8, n_out=2)
    p.bind(s, 0, 0, n_rows=3, columns=[1], source_row_stride=2, target_row_stride=1)
    p.bind(s, 1, 3, columns=[2, 1, 0], source_row_stride=3)
    p.bind(s, -1, 6, n_columns=2, fill_value=0.5)
    p.bind(s, 0, 7, columns=[3], source_offset=6, source_row_stride=4)
    assert p.run(profile=True) == 0

    expect0 = np.einsum("ij,ij->i", states.reshape(n_rep, 3, 2)[:, :, 1], params[:, ::-1]) + 0.5
    failed = np.arange(n_rep) % 5 == 4
    out = p.steps[s]["retained"]
    np.testing.assert_allclose(out[~failed, 0], expect0[~failed], rtol=1e-14)
    np.testing.assert_array_equal(out[~failed, 1], obs[3])
    # A failed replication's rows are sentinel in every step, earlier ones too.
    assert np.isnan(out[failed]).all()
    assert np.isnan(p.steps[0]["retained"][failed]).all()
    assert (p.steps[1]["int_retained"][failed] == INT64_MIN).all()
    np.testing.assert_array_equal(p.failure_step, np.where(failed, 2, -1))
    np.testing.assert_array_equal(p.failure_status, np.where(failed, 3, 0))
    np.testing.assert_array_equal(p.counts.sum(axis=0), [n_rep, n_rep, n_rep])
    np.testing.assert_array_equal(p.failures.sum(axis=0), [0, 0, failed.sum()])


@pytest.mark.parametrize("workers", [2, 3, 8])
def test_retained_results_do_not_depend_on_the_team(lib, workers):
    results = []
    for w in (1, workers):
        p, *_ = source_pipeline(lib, 13, w, np.random.default_rng(5))
        assert p.run(fail_fast=True) == 0
        results.append([s["retained"].tobytes() for s in p.steps])
    assert results[0] == results[1]


def test_invalid_context_is_rejected_untouched(lib):
    p, *_ = source_pipeline(lib, 4, 0, np.random.default_rng(1))
    with pytest.raises(tc.RunnerContextError, match="n_workers is 0") as err:
        p.run()
    assert err.value.status == -1
    assert p.run(check=False) == -1
    np.testing.assert_array_equal(p.failure_step, 0)


def test_pipeline_raises_the_reason_of_a_failing_binding_before_running(lib):
    p, *_ = source_pipeline(lib, 5, 2, np.random.default_rng(2))
    s = p.add_step(tc.fn_address(lib, "trova_mc_payload_runner"),
                   tc.trova_mc_payload_step_ctx(None, 0, 0), n_in=6, n_out=1)
    p.bind(s, -1, 0, n_rows=1, n_columns=6, fill_value=1.0)
    # Rows 1..2 of step 0's ten values as a 2 x 4 block at offset 1 of a
    # six-value lane: the second row would end at element 1 + 4 + 4 = 9.
    p.bind(s, 0, 1, n_rows=2, columns=[0, 1, 2, 3], source_row_stride=4, row_start=1)
    with pytest.raises(tc.RunnerContextError) as err:
        p.run()
    assert err.value.status == -2
    assert str(err.value) == err.value.reason
    assert err.value.reason.startswith("step 2 binding 1: ")
    assert "element 9" in err.value.reason and "lane of 6 elements" in err.value.reason
    assert np.isnan(p.steps[0]["retained"]).all()  # nothing ran
    # Unchecked, the run fails every replication at that step with -1, and
    # the helper gives a caller with this context the same reason.
    assert p.run(check=False) == 0
    np.testing.assert_array_equal(p.failure_step, 2)
    np.testing.assert_array_equal(p.failure_status, -1)
    assert tc.check_runner(p.ctx) == (-2, err.value.reason)


def test_chunks_and_shards_give_the_whole_run(lib):
    # Shock draws keyed by the global replication index and a batched static
    # start per replication: one run, the same pipeline in chunks, and
    # pipelines sized for one shard each (run out of order) agree bit for bit.
    T, n_rep = 30, 23
    A, B = np.array([[0.6, 0.2], [0.0, 0.3]]), np.array([[1.0, 0.0], [0.4, 1.0]])
    x0 = np.random.default_rng(4).standard_normal((n_rep, 2))
    plan = tc.ShockPlan(T, 2, [{"columns": [0, 1], "factor": np.eye(2), "key": 31, "idx": 0}])
    size = lib.trova_simulate_order1_arena_size(2, 2, T, 0)
    sim = tc.trova_mc_simulate_order1_step_ctx(tc.trova_measurement_fn(), T, 2, 2, 0, 0, ctypes.pointer(plan.plan),
                                               size)

    def pipeline(starts, workers):
        p = tc.Pipeline(len(starts), workers)
        p._keep.append(plan)
        s = p.add_step(tc.fn_address(lib, "trova_mc_simulate_order1_runner"), sim, n_in=size + plan.scratch_size(),
                       n_out=2 * T, n_int_out=1)
        at = p.bind_static(s, p.bind_static(s, 0, A), B)
        p.bind_static(s, at, starts, batched=True)
        return p

    whole = pipeline(x0, 2)
    assert whole.run() == 0
    chunked = pipeline(x0, 3)
    for start in (0, 9, 17):
        assert chunked.run(start=start, count=min(9, n_rep - start) if start < 17 else n_rep - start) == 0
    assert chunked.steps[0]["retained"].tobytes() == whole.steps[0]["retained"].tobytes()
    for first, count in ((15, 8), (0, 5), (5, 10)):
        shard = pipeline(x0[first:first + count], 1)
        assert shard.run(first_rep=first) == 0
        np.testing.assert_array_equal(shard.failure_step, -1)
        assert shard.steps[0]["retained"].tobytes() == whole.steps[0]["retained"][first:first + count].tobytes()
    # The shocks are those of the global index: the last period's states
    # follow from the previous ones and the draw of that replication.
    rep = 20
    states = whole.steps[0]["retained"][rep].reshape(T, 2)
    e = plan.draw(rep)
    np.testing.assert_allclose(states[-1], A @ states[-2] + B @ e[-1], rtol=1e-13, atol=1e-15)
