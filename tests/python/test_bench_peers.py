"""The peer table's JSON rows and its check that a replication's stages add
up to the whole, on synthetic rows: nothing here is timed."""
import json
import os
import sys

import pytest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.dirname(
    os.path.abspath(__file__)))), "bench"))

import peer_common as pc  # noqa: E402


def study_rows(stage_lib, stage_peer, whole_lib=1e-3, whole_peer=5e-3):
    rows = [pc.Row("Study replication", "whole replication (T = 200), 1 worker", whole_lib, whole_peer,
                   "NumPy + statsmodels", "library over 1000 reps", "whole"),
            pc.Row("Study replication", "whole replication (T = 200), 2 workers", whole_lib / 2, whole_peer,
                   "NumPy + statsmodels")]
    rows += [pc.Row("Study replication", f"  stage: s{i}, 1 worker", a, b, "peer", "", "stage")
             for i, (a, b) in enumerate(zip(stage_lib, stage_peer))]
    return rows


def test_json_rows_carry_every_row_with_seconds_and_ratio(tmp_path):
    rows = [pc.Row("Kalman", "linear, n = 4", 2e-6, 3e-4, "statsmodels", "a note")]
    rows += study_rows([4e-4, 6e-4], [1e-3, 4e-3])
    path = tmp_path / "table.json"
    pc.write_json(rows, path)
    got = json.loads(path.read_text())
    assert len(got) == len(rows)
    assert all(set(d) == {"section", "case", "library_s", "peer", "peer_s", "ratio"} for d in got)
    assert got[0] == {"section": "Kalman", "case": "linear, n = 4", "library_s": 2e-6, "peer": "statsmodels",
                      "peer_s": 3e-4, "ratio": pytest.approx(150.0)}
    # Repeated sections are written out (the printed table blanks them) and
    # the display indentation of stage rows is dropped.
    assert [d["section"] for d in got[1:]] == ["Study replication"] * 4
    assert got[3]["case"] == "stage: s0, 1 worker"
    assert got[3]["ratio"] == pytest.approx(1e-3 / 4e-4)


@pytest.mark.parametrize("stage_lib, stage_peer, ok", [
    ([4e-4, 6e-4], [1e-3, 4e-3], True),              # exact
    ([4.5e-4, 6.9e-4], [1e-3, 3.3e-3], True),         # 1.14 and 0.86 of the whole
    ([4e-5, 6e-5], [1e-3, 4e-3], False),              # the library's stages a tenth of the whole
    ([4e-4, 6e-4], [1e-3, 5e-3], False),              # the peer's 1.2 times the whole
])
def test_stage_sum_check(stage_lib, stage_peer, ok, capsys):
    rows = study_rows(stage_lib, stage_peer)
    passed, lines = pc.stage_sum_check(rows)
    assert passed is ok
    assert len(lines) == 2
    fractions = [sum(stage_lib) / 1e-3, sum(stage_peer) / 5e-3]
    for line, fraction in zip(lines, fractions):
        assert f"{fraction:.3f} of the whole replication" in line
        assert ("NOT within" in line) == (abs(fraction - 1) > 0.15)
    assert pc.print_stage_check(rows) is ok
    assert ("STAGE CHECK FAILED" in capsys.readouterr().err) is (not ok)


def test_stage_sum_check_needs_one_whole_row():
    assert pc.stage_sum_check([pc.Row("rng", "normals", 1.0, 2.0, "NumPy")]) == (True, [])
    rows = study_rows([4e-4, 6e-4], [1e-3, 4e-3])
    rows[1].part = "whole"
    assert pc.stage_sum_check(rows)[0] is False


def test_rows_of_a_side_not_run_print_dashes_and_write_null(tmp_path, capsys):
    nan = float("nan")
    rows = [pc.Row("Second order", "whole chain, N = 5", 0.05, nan, "Dynare", "peer not installed"),
            pc.Row("Second order", "whole chain, N = 25", nan, nan, "Dynare", "skipped")]
    path = tmp_path / "table.json"
    pc.write_json(rows, path)
    got = json.loads(path.read_text(), parse_constant=lambda c: pytest.fail(f"{c} in the JSON"))
    assert got[0]["library_s"] == 0.05 and got[0]["peer_s"] is None and got[0]["ratio"] is None
    assert got[1]["library_s"] is None
    pc.print_table(rows, pc.QUICK, out=sys.stdout)
    lines = capsys.readouterr().out.splitlines()[2:]
    assert "50.00 ms" in lines[0] and lines[0].count("--") == 2 and "nan" not in lines[0]
    assert lines[1].count("--") == 3 and "nan" not in lines[1]
