"""The shared object is an importable extension module and a C library at once."""
import ctypes
import importlib
import os
import re
import subprocess

import trova_ctypes as tc

INCLUDE = os.path.join(os.path.dirname(os.path.dirname(os.path.dirname(
    os.path.abspath(__file__)))), "include")

DOC = ("Native Monte Carlo arena-size boundary.\n\n"
       "Python's pipeline compiler owns shape resolution. This module exposes the C\n"
       "arena sizers so its allocation plan always follows the native kernel contract.\n")


def declared_functions():
    """Every function a public header declares with TROVA_API."""
    names = set()
    for header in os.listdir(INCLUDE):
        text = open(os.path.join(INCLUDE, header)).read()
        names.update(re.findall(r"TROVA_API\s+[\w\s\*]+?\b(\w+)\s*\(", text))
    return names


def declared_data():
    """Every read-only table a public header declares with TROVA_API."""
    names = set()
    for header in os.listdir(INCLUDE):
        text = open(os.path.join(INCLUDE, header)).read()
        names.update(re.findall(
            r"(?:TROVA_API\s+extern|extern\s+TROVA_API)\s+const\s+\w+\s+(\w+)\s*\[", text))
    return names


def exported_symbols():
    out = subprocess.run(["nm", "-D", "--defined-only", tc.module_path()],
                         check=True, capture_output=True, text=True).stdout
    return {line.split()[-1] for line in out.splitlines() if line.strip()}


def test_module_imports_with_its_docstring():
    mod = importlib.import_module("Tessaroventa._ckernels.monte_carlo._arena")
    assert mod.__doc__ == DOC
    assert os.path.samefile(mod.__file__, tc.module_path())


def test_every_declared_function_is_exported_unmangled():
    declared = declared_functions()
    assert {"trova_mc_run", "trova_chol", "trova_mc_payload_runner"} <= declared
    exported = exported_symbols()
    assert declared <= exported, sorted(declared - exported)
    # Nothing of the C++ inside leaks out, and the ctypes mirror knows every function.
    assert not [s for s in exported if s.startswith("_Z")]
    assert declared == set(tc.SIGNATURES)


def test_module_exports_nothing_but_its_entry_and_the_c_abi():
    # Nothing of the static libraries linked inside (NumPy's random library,
    # the C++ runtime) leaks; OpenMP's lock of the named critical section is
    # the one symbol the compiler itself makes global.
    data = declared_data()
    assert {"JB_CV", "KERNEL_SPECS"} <= data
    allowed = declared_functions() | data | {"PyInit__arena", ".gomp_critical_user_trova_mc_halt"}
    extra = exported_symbols() - allowed
    assert not extra, sorted(extra)


def test_ctypes_reaches_every_function():
    lib = ctypes.CDLL(tc.module_path())
    for name in declared_functions():
        assert ctypes.cast(getattr(lib, name), ctypes.c_void_p).value
