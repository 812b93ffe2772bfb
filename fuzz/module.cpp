// Fuzz target: the _arena extension module through an embedded
// interpreter. The module's code is compiled into this program and
// registered as a built-in before the interpreter starts. Each input calls
// one of its five functions with random positional and keyword arguments
// of every kind: ints near every 64-bit edge and beyond, floats with NaN and
// infinities, strings (kind names and others, a str subclass), None, lists,
// booleans, and objects whose __int__, __index__ or __bool__ raise or
// return something odd. A call must return a (n_float, n_int) tuple of ints
// or raise TypeError, ValueError or OverflowError (or the argument's own
// RuntimeError); never crash, never return NULL without an exception (which
// the interpreter turns into SystemError).
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <string>
#include <vector>

#include "fuzz_data.h"

extern "C" PyObject* PyInit__arena(void);

namespace {

using trova_fuzz::edgy_f64;
using trova_fuzz::edgy_i64;

PyObject* g_functions[5];
PyObject* g_helpers;  // the helper classes' namespace

const char* const kFunctionNames[5] = {"transform_arena_size", "regression_arena_size", "simulation_arena_size",
                                       "filter_arena_size", "diagnostic_arena_size"};
// Every parameter name of the five functions, and a few that are none.
const char* const kKeywords[] = {"kind", "n", "p", "param", "intercept", "n_alpha", "max_iter", "order",
                                 "n_state", "n_var", "n_exog", "T", "n_par", "n_ctrl", "n_obs", "lags",
                                 "x", "", "KIND", "n "};
const char* const kKinds[] = {"standardize", "log", "log_diff", "diff", "rolling_mean", "rolling_var",
                              "rolling_std", "ols", "ridge", "ridge_gs", "lasso", "lasso_gs", "elastic_net",
                              "elastic_net_gs", "linear", "extended", "unscented", "wald_mean", "wald_covariance",
                              "wald_second_moment", "ljung_box", "jarque_bera", "breusch_pagan",
                              "breusch_godfrey", "chow", "cusum", "cusumsq", "Linear", "", "ols\0x"};

const char kHelperCode[] =
    "class RaisingInt:\n"
    "    def __int__(self): raise RuntimeError('__int__')\n"
    "class RaisingIndex:\n"
    "    def __index__(self): raise RuntimeError('__index__')\n"
    "class RaisingBool:\n"
    "    def __bool__(self): raise RuntimeError('__bool__')\n"
    "class HugeInt:\n"
    "    def __int__(self): return 2**70\n"
    "class StrInt:\n"
    "    def __int__(self): return 'seven'\n"
    "class Index:\n"
    "    def __init__(self, v): self.v = v\n"
    "    def __index__(self): return self.v\n"
    "class Kind(str): pass\n";

// A new reference to a random argument value.
PyObject* make_value(FuzzedDataProvider& in) {
    switch (in.ConsumeIntegralInRange<int>(0, 15)) {
        case 0:
        case 1:
        case 2: return PyLong_FromLongLong(edgy_i64(in));
        case 3: {
            // Beyond 64 bits: +-2^64 + k, +-2^63 +- k, 2^100.
            const char* const big[] = {"18446744073709551616", "-18446744073709551616", "9223372036854775808",
                                       "-9223372036854775809", "1267650600228229401496703205376",
                                       "18446744073709551615"};
            return PyLong_FromString(big[in.ConsumeIntegralInRange<int>(0, 5)], nullptr, 10);
        }
        case 4: return PyFloat_FromDouble(edgy_f64(in));
        case 5:
        case 6: return PyUnicode_FromString(kKinds[in.ConsumeIntegralInRange<std::size_t>(0, std::size(kKinds) - 1)]);
        case 7: {
            const std::string s = in.ConsumeRandomLengthString(16);
            PyObject* o = PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), "replace");
            return o;
        }
        case 8: Py_RETURN_NONE;
        case 9: return PyList_New(0);
        case 10: return PyBool_FromLong(in.ConsumeBool());
        case 11: {
            const char* const names[] = {"RaisingInt", "RaisingIndex", "RaisingBool", "HugeInt", "StrInt"};
            PyObject* cls = PyDict_GetItemString(g_helpers, names[in.ConsumeIntegralInRange<int>(0, 4)]);
            return PyObject_CallNoArgs(cls);
        }
        case 12: {
            PyObject* v = PyLong_FromLongLong(edgy_i64(in));
            PyObject* o = PyObject_CallOneArg(PyDict_GetItemString(g_helpers, "Index"), v);
            Py_DECREF(v);
            return o;
        }
        case 13: {
            PyObject* s = PyUnicode_FromString(kKinds[in.ConsumeIntegralInRange<std::size_t>(0, 26)]);
            PyObject* o = PyObject_CallOneArg(PyDict_GetItemString(g_helpers, "Kind"), s);
            Py_DECREF(s);
            return o;
        }
        case 14: return PyBytes_FromString("ols");
        default: return PyLong_FromLongLong(in.ConsumeIntegralInRange<long long>(-3, 64));
    }
}

}  // namespace

// The interpreter is never finalised, so what it holds at exit is not a
// leak of the module (which allocates nothing but its results).
extern "C" const char* __asan_default_options() { return "detect_leaks=0"; }

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    PyImport_AppendInittab("_arena", PyInit__arena);
    Py_InitializeEx(0);
    PyObject* module = PyImport_ImportModule("_arena");
    if (module == nullptr) {
        PyErr_Print();
        std::abort();
    }
    for (int i = 0; i < 5; ++i) {
        g_functions[i] = PyObject_GetAttrString(module, kFunctionNames[i]);
        if (g_functions[i] == nullptr) std::abort();
    }
    g_helpers = PyDict_New();
    PyDict_SetItemString(g_helpers, "__builtins__", PyEval_GetBuiltins());
    PyObject* r = PyRun_String(kHelperCode, Py_file_input, g_helpers, g_helpers);
    if (r == nullptr) {
        PyErr_Print();
        std::abort();
    }
    Py_DECREF(r);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider in(data, size);
    PyObject* fn = g_functions[in.ConsumeIntegralInRange<int>(0, 4)];
    const int nargs = in.ConsumeIntegralInRange<int>(0, 8);
    const int nkw = in.ConsumeIntegralInRange<int>(0, 7);
    std::vector<PyObject*> args;
    for (int i = 0; i < nargs + nkw; ++i) {
        PyObject* v = make_value(in);
        if (v == nullptr) PyErr_Clear(), v = Py_NewRef(Py_None);
        args.push_back(v);
    }
    PyObject* kwnames = nkw > 0 ? PyTuple_New(nkw) : nullptr;
    for (int j = 0; j < nkw; ++j)
        PyTuple_SET_ITEM(kwnames, j,
                         PyUnicode_FromString(kKeywords[in.ConsumeIntegralInRange<std::size_t>(0, std::size(kKeywords) - 1)]));

    PyObject* result = PyObject_Vectorcall(fn, args.data(), static_cast<size_t>(nargs), kwnames);
    if (result != nullptr) {
        TROVA_FUZZ_CHECK(!PyErr_Occurred());
        TROVA_FUZZ_CHECK(PyTuple_CheckExact(result) && PyTuple_GET_SIZE(result) == 2);
        TROVA_FUZZ_CHECK(PyLong_CheckExact(PyTuple_GET_ITEM(result, 0)) && PyLong_CheckExact(PyTuple_GET_ITEM(result, 1)));
        Py_DECREF(result);
    } else {
        PyObject* err = PyErr_Occurred();
        TROVA_FUZZ_CHECK(err != nullptr);
        const bool expected = PyErr_GivenExceptionMatches(err, PyExc_TypeError) ||
                              PyErr_GivenExceptionMatches(err, PyExc_ValueError) ||
                              PyErr_GivenExceptionMatches(err, PyExc_OverflowError) ||
                              PyErr_GivenExceptionMatches(err, PyExc_RuntimeError);
        if (!expected || PyErr_GivenExceptionMatches(err, PyExc_SystemError)) {
            PyErr_Print();
            trova_fuzz::fail("unexpected exception");
        }
        PyErr_Clear();
    }
    Py_XDECREF(kwnames);
    for (PyObject* v : args) Py_DECREF(v);
    return 0;
}
