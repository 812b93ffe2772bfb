#!/bin/sh
# Installs the Python package as a user would: into a virtual environment
# with the system's site packages, `pip install --no-build-isolation .` from
# the source tree; then builds the wheel with `python3 -m build` and installs
# it into a second environment. In both, from another folder, the installed
# package is imported and used: an arena size checked against the two native
# sizers it adds up, and Philox normals through the installed ctypes layer
# checked against NumPy's Philox and Generator.
#   test_python_install.sh <source dir> <python> <package build dir>
set -eu
src=$1 python=$2
TROVA_PYTHON_BUILD_DIR=$3
export TROVA_PYTHON_BUILD_DIR
# The installed package must find its module by itself.
unset TROVA_MODULE PYTHONPATH
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }
quiet() { log=$tmp/log; "$@" > "$log" 2>&1 || { cat "$log" >&2; fail "$*"; }; }

# What the installed package is checked for, run from a folder outside the
# source tree so that nothing but the environment provides the package.
mkdir "$tmp/elsewhere"
cat > "$tmp/elsewhere/check.py" <<'PY'
import ctypes
import importlib.metadata
import os
import sys

import numpy as np

import Tessaroventa._ckernels as kernels
from Tessaroventa._ckernels import trova_ctypes as tc
from Tessaroventa._ckernels.monte_carlo import _arena

src = sys.argv[1]
for mod in (kernels, tc, _arena):
    assert mod.__file__.startswith(sys.prefix + os.sep), mod.__file__
version = open(os.path.join(src, "VERSION")).read().strip()
assert kernels.__version__ == importlib.metadata.version("trova") == version
assert os.path.samefile(tc.module_path(), _arena.__file__)
# One source of the ctypes layer.
assert open(tc.__file__).read() == open(os.path.join(src, "python", "trova_ctypes.py")).read()

lib = tc.load()
# A linear filter on 3 states and 2 controls: packed input of the 5-dimensional
# stacked state plus the Kalman work.
n_float, n_int = _arena.filter_arena_size("linear", 3, 2, 1, 2, 40, 0)
work = lib.kf_arena_size(5, 2, 1)
assert (n_float, n_int) == (lib.trova_filter_linear_input_arena_size(5, 2, 1, 40) + work.n_float,
                            work.n_int), (n_float, n_int)

state = tc.trova_philox_state()
lib.trova_philox_seed(ctypes.byref(state), 20240613, 7, 3, 0)
z = np.empty(1000)
lib.trova_philox_standard_normal_fill(ctypes.byref(state), z.size, tc.ptr(z))
gen = np.random.Generator(np.random.Philox(key=np.array([20240613, 7], dtype=np.uint64),
                                           counter=np.array([0, 0, 3, 0], dtype=np.uint64)))
np.testing.assert_array_equal(z, gen.standard_normal(1000))
print("installed package checked:", _arena.__file__)
PY

# 1. pip install from the source tree.
"$python" -m venv --system-site-packages "$tmp/venv"
(cd "$src" && quiet "$tmp/venv/bin/pip" install --no-build-isolation .)
(cd "$tmp/elsewhere" && "$tmp/venv/bin/python" check.py "$src")
so=$(ls "$tmp"/venv/lib/python3*/site-packages/Tessaroventa/_ckernels/monte_carlo/_arena*.so)
readelf -d "$so" | grep -q 'NEEDED.*libgomp' || fail "the module does not link libgomp"
if readelf -d "$so" | grep NEEDED | grep -qi python; then fail "the module links libpython"; fi

# 2. The wheel, into a second environment.
(cd "$src" && quiet "$python" -m build --no-isolation --wheel --outdir "$tmp/dist")
"$python" - "$tmp/dist" <<'PY'
import os
import sys
import sysconfig
import zipfile

dist = sys.argv[1]
wheels = os.listdir(dist)
tag = "cp%d%d" % sys.version_info[:2]
assert len(wheels) == 1 and wheels[0].endswith(f"-{tag}-{tag}-linux_x86_64.whl"), wheels
name = wheels[0]
version = name.split("-")[1]
info = f"trova-{version}.dist-info/"
with zipfile.ZipFile(os.path.join(dist, name)) as whl:
    files = set(whl.namelist())
    # Tessaroventa is a namespace package: no Tessaroventa/__init__.py.
    expected = {"Tessaroventa/" + f for f in (
        "_ckernels/LICENSE", "_ckernels/LICENSE.numpy", "_ckernels/__init__.py",
        "_ckernels/trova_ctypes.py", "_ckernels/monte_carlo/__init__.py",
        "_ckernels/monte_carlo/_arena" + sysconfig.get_config_var("EXT_SUFFIX"))}
    expected |= {info + f for f in ("LICENSE", "METADATA", "WHEEL", "top_level.txt", "RECORD")}
    assert files == expected, sorted(files ^ expected)
    wheel = whl.read(info + "WHEEL").decode()
    assert "Root-Is-Purelib: false" in wheel and f"Tag: {tag}-{tag}-linux_x86_64" in wheel
    meta = whl.read(info + "METADATA").decode()
    assert "Requires-Dist: numpy" in meta and "License: BSD-3-Clause" in meta
    assert "NumPy Developers" in whl.read("Tessaroventa/_ckernels/LICENSE.numpy").decode()
print("wheel checked:", name)
PY
"$python" -m venv --system-site-packages "$tmp/venv2"
quiet "$tmp/venv2/bin/pip" install "$tmp"/dist/*.whl
(cd "$tmp/elsewhere" && "$tmp/venv2/bin/python" check.py "$src")

# Neither build left setuptools' folders in the source tree.
for f in "$src"/build/lib.* "$src"/build/bdist.* "$src"/build/temp.* "$src"/*.egg-info "$src"/dist; do
  if [ -e "$f" ]; then fail "the package build wrote $f"; fi
done
echo "python install check passed"
