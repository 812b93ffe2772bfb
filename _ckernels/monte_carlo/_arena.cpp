// CPython extension module Tessaroventa._ckernels.monte_carlo._arena.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace {

const char kModuleDoc[] =
    "Native Monte Carlo arena-size boundary.\n"
    "\n"
    "Python's pipeline compiler owns shape resolution. This module exposes the C\n"
    "arena sizers so its allocation plan always follows the native kernel contract.\n";

PyModuleDef arena_module = {
    PyModuleDef_HEAD_INIT,
    "Tessaroventa._ckernels.monte_carlo._arena",
    kModuleDoc,
    0,         // m_size: the module keeps no state
    nullptr,   // m_methods
    nullptr,   // m_slots
    nullptr,   // m_traverse
    nullptr,   // m_clear
    nullptr,   // m_free
};

}  // namespace

PyMODINIT_FUNC PyInit__arena(void) { return PyModule_Create(&arena_module); }
