import os
import sys
import zlib

import numpy as np
import pytest

# The shared ctypes mirror lives in the repository's python/ folder.
sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.dirname(
    os.path.abspath(__file__)))), "python"))

import trova_ctypes as tc  # noqa: E402


@pytest.fixture(scope="session")
def lib():
    """The built shared object with every signature declared."""
    return tc.load()


@pytest.fixture
def rng(request):
    # One stream per test case, fixed by its id, so failures reproduce.
    return np.random.default_rng(zlib.crc32(request.node.name.encode()))


@pytest.fixture(scope="session")
def gapless(lib):
    """True unless the library was built with layout gaps (TROVA_LAYOUT_GAPS),
    which change every size and offset from its stated formula: tests check
    the formulas only when this holds."""
    return lib.trova_layout_gap() == 0
