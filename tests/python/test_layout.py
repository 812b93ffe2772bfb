"""The ctypes mirror of every public record matches the C compiler's layout."""
import ctypes
import json
import os
import subprocess

import pytest

import trova_ctypes as tc


@pytest.fixture(scope="module")
def c_layout():
    probe = os.environ.get("TROVA_LAYOUT_PROBE")
    if not probe:
        pytest.skip("TROVA_LAYOUT_PROBE is not set (run through ctest)")
    return json.loads(subprocess.run([probe], check=True, capture_output=True, text=True).stdout)


def test_every_record_is_mirrored(c_layout):
    assert sorted(c_layout) == sorted(tc.RECORDS)


@pytest.mark.parametrize("name", sorted(tc.RECORDS))
def test_sizes_and_offsets_match(c_layout, name):
    cls = tc.RECORDS[name]
    c = c_layout[name]
    assert ctypes.sizeof(cls) == c["size"]
    py_fields = [f[0] for f in cls._fields_]
    assert py_fields == list(c["fields"]), "field names or order differ"
    for field, offset in c["fields"].items():
        assert getattr(cls, field).offset == offset, field
