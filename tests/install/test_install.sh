#!/bin/sh
# Installs a built tree to a temporary prefix and uses it as a C caller
# would: examples/install_check built with CMake (find_package, against the
# shared and the static library) and with one cc line through pkg-config.
# Also checks what the shared library asks for and exports: no libpython,
# no CPython symbol, no C++ (mangled) symbol.
#   test_install.sh <build dir> <source dir> <python> <C compiler>
set -eu
build=$1 src=$2 python=$3 cc=$4
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
prefix=$tmp/prefix

cmake --install "$build" --prefix "$prefix" >/dev/null

fail() { echo "FAIL: $*" >&2; exit 1; }
for f in lib/libtrova.so lib/libtrova.so.0 lib/libtrova.a include/trova/trova.h \
         include/trova/trova_types.h lib/cmake/trova/trovaConfig.cmake \
         lib/cmake/trova/trovaConfigVersion.cmake lib/pkgconfig/trova.pc \
         share/doc/trova/LICENSE share/doc/trova/LICENSE.numpy; do
  [ -e "$prefix/$f" ] || fail "$f is not installed"
done
# The Python package installs through pip, not here.
if [ -e "$prefix/Tessaroventa" ]; then fail "cmake --install installed the Python package"; fi

so=$prefix/lib/libtrova.so
readelf -d "$so" | grep -q 'Library soname: \[libtrova\.so\.0\]' || fail "soname is not libtrova.so.0"
if readelf -d "$so" | grep NEEDED | grep -qi python; then fail "libtrova.so needs libpython"; fi
if nm -D --undefined-only "$so" | grep -q ' _\?Py'; then fail "libtrova.so refers to CPython symbols"; fi
if nm -D --defined-only "$so" | grep -q ' _Z'; then fail "libtrova.so exports mangled symbols"; fi
nm -D --defined-only "$so" | grep -q ' T trova_chol$' || fail "trova_chol is not exported"
if nm -D --defined-only "$so" | grep -q 'PyInit'; then fail "libtrova.so has a module entry"; fi

# CMake: find_package(trova CONFIG REQUIRED) from the installed prefix.
cmake -S "$src/examples/install_check" -B "$tmp/cmake-build" -DCMAKE_PREFIX_PATH="$prefix" \
      -DCMAKE_C_COMPILER="$cc" >/dev/null
cmake --build "$tmp/cmake-build" >/dev/null
# pkg-config: the one line a C user types.
PKG_CONFIG_PATH=$prefix/lib/pkgconfig
export PKG_CONFIG_PATH
# shellcheck disable=SC2046
"$cc" "$src/examples/install_check/install_check.c" $(pkg-config --cflags --libs trova) \
      -o "$tmp/install_check_pc"

LD_LIBRARY_PATH=$prefix/lib "$tmp/cmake-build/install_check" > "$tmp/out_cmake"
"$tmp/cmake-build/install_check_static" > "$tmp/out_static"
LD_LIBRARY_PATH=$prefix/lib "$tmp/install_check_pc" > "$tmp/out_pc"
# The programs linked the installed library, not another one.
LD_LIBRARY_PATH=$prefix/lib ldd "$tmp/install_check_pc" | grep -q "$prefix/lib/libtrova.so.0" \
  || fail "install_check_pc does not load the installed libtrova.so"
if ldd "$tmp/cmake-build/install_check_static" | grep -q libtrova; then
  fail "install_check_static loads libtrova.so"
fi

# Every program prints the same, and it matches NumPy: the Cholesky
# diagonal of the matrix and the first normals of Philox at key {20240613, 7},
# counter {0, 0, 3, 0} through NumPy's Generator.
"$python" - "$tmp/out_cmake" "$tmp/out_static" "$tmp/out_pc" <<'PY'
import sys
import numpy as np
S = np.array([[4.0, 2.0, 0.6], [2.0, 5.0, 1.5], [0.6, 1.5, 3.0]])
chol = np.diag(np.linalg.cholesky(S))
gen = np.random.Generator(np.random.Philox(
    key=np.array([20240613, 7], dtype=np.uint64),
    counter=np.array([0, 0, 3, 0], dtype=np.uint64)))
normal = gen.standard_normal(4)
for path in sys.argv[1:]:
    lines = dict(line.split(None, 1) for line in open(path).read().splitlines())
    got_chol = np.array(lines["chol"].split(), dtype=float)
    got_normal = np.array(lines["normal"].split(), dtype=float)
    np.testing.assert_allclose(got_chol, chol, rtol=1e-14, err_msg=path)
    np.testing.assert_array_equal(got_normal, normal, err_msg=path)
print("install check: all three programs agree with NumPy")
PY
