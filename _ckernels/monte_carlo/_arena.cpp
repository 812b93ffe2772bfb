// CPython extension module Tessaroventa._ckernels.monte_carlo._arena: the
// lane sizes of every pipeline step family, for Python's pipeline compiler.
//
// Each of the five functions binds its arguments, converts them in parameter
// order, picks the family's row by kind (or order) and asks the family's
// overflow-checked sizers, the same layout code the kernels carve their
// arenas with. All five are described by one table each and share one
// binder; the module keeps no state.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <climits>

#include "_common/sizers.h"

namespace {

using trova::layout::Carver;
using trova::layout::Size;
using trova::layout::plus;
namespace sizing = trova::sizing;

const char kModuleDoc[] =
    "Native Monte Carlo arena-size boundary.\n"
    "\n"
    "Python's pipeline compiler owns shape resolution. This module exposes the C\n"
    "arena sizers so its allocation plan always follows the native kernel contract.\n";

// ---- parameters ----

enum class Conv {
    Kind,   // exactly str, or None
    I64,    // int, or through the type's integer conversion
    Order,  // like I64, then to a 32-bit int
    Flag,   // truth value
};

struct Param {
    const char* name;
    Conv conv;
    bool optional;  // defaults to 0; optional parameters come last
};

constexpr int kMaxParams = 7;

// One row of a family's table: a kind (or a simulation order) and the size
// it needs, from the converted arguments in parameter order.
struct Row {
    const char* kind;
    int order;
    Size (*size)(const i64* v);
};

struct Family {
    const char* function;  // the Python-visible name
    const char* noun;      // "transform", ... in error messages
    const Param* params;
    int n_params;
    const Row* rows;
    int n_rows;
};

// ---- argument binding ----

int required_count(const Family& f) {
    int r = 0;
    while (r < f.n_params && !f.params[r].optional) ++r;
    return r;
}

void count_error(const Family& f, const char* bound, int count, Py_ssize_t given) {
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %d positional argument%.1s (%zd given)", f.function,
                 bound, count, count == 1 ? "" : "s", given);
}

// Matches positional and keyword arguments to the parameters; slot[i] is
// the borrowed argument of parameter i, or null when it takes its default.
bool bind(const Family& f, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** slot) {
    const int n = f.n_params, required = required_count(f);
    if (nargs > n) {
        count_error(f, required < n ? "at most" : "exactly", n, nargs);
        return false;
    }
    for (int i = 0; i < n; ++i) slot[i] = i < nargs ? args[i] : nullptr;
    const Py_ssize_t n_kw = kwnames != nullptr ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t j = 0; j < n_kw; ++j) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, j);
        int i = 0;
        while (i < n && PyUnicode_CompareWithASCIIString(key, f.params[i].name) != 0) ++i;
        if (i == n) {
            PyErr_Format(PyExc_TypeError, "'%U' is an invalid keyword argument for %.200s()", key, f.function);
            return false;
        }
        if (slot[i] != nullptr) {
            PyErr_Format(PyExc_TypeError, "argument for %.200s() given by name ('%s') and position (%d)",
                         f.function, f.params[i].name, i + 1);
            return false;
        }
        slot[i] = args[nargs + j];
    }
    for (int i = 0; i < required; ++i) {
        if (slot[i] != nullptr) continue;
        if (n_kw == 0)
            count_error(f, required < n ? "at least" : "exactly", required, nargs);
        else
            PyErr_Format(PyExc_TypeError, "%.200s() missing required argument '%s' (pos %d)", f.function,
                         f.params[i].name, i + 1);
        return false;
    }
    return true;
}

// ---- conversions ----

// A new reference to the int an argument stands for: ints as they are,
// other objects through __int__ (a float truncates toward zero), else
// __index__.
PyObject* as_int(PyObject* o) {
    if (PyLong_Check(o)) {
        Py_INCREF(o);
        return o;
    }
    const PyNumberMethods* nb = Py_TYPE(o)->tp_as_number;
    if (nb != nullptr && nb->nb_int != nullptr) return PyNumber_Long(o);
    if (nb != nullptr && nb->nb_index != nullptr) return PyNumber_Index(o);
    PyErr_SetString(PyExc_TypeError, "an integer is required");
    return nullptr;
}

bool to_i64(PyObject* o, i64* out) {
    PyObject* num = as_int(o);
    if (num == nullptr) return false;
    const long long v = PyLong_AsLongLong(num);
    Py_DECREF(num);
    if (v == -1 && PyErr_Occurred()) return false;
    *out = v;
    return true;
}

bool to_order(PyObject* o, i64* out) {
    PyObject* num = as_int(o);
    if (num == nullptr) return false;
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(num, &overflow);
    Py_DECREF(num);
    if (v == -1 && PyErr_Occurred()) return false;
    if (overflow != 0 || v < INT_MIN || v > INT_MAX) {
        PyErr_SetString(PyExc_OverflowError, "value too large to convert to int");
        return false;
    }
    *out = v;
    return true;
}

bool convert(const Param& param, PyObject* o, PyObject** kind, i64* out) {
    *out = 0;
    switch (param.conv) {
        case Conv::Kind:
            if (o != Py_None && !PyUnicode_CheckExact(o)) {
                PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)",
                             param.name, "str", Py_TYPE(o)->tp_name);
                return false;
            }
            *kind = o;
            return true;
        case Conv::I64:
            return o == nullptr || to_i64(o, out);
        case Conv::Order:
            return to_order(o, out);
        case Conv::Flag: {
            const int truth = PyObject_IsTrue(o);
            if (truth < 0) return false;
            *out = truth;
            return true;
        }
    }
    return false;
}

// ---- results ----

// The (n_float, n_int) tuple of a native size record.
PyObject* _size(const arena_size& s) {
    return Py_BuildValue("(LL)", static_cast<long long>(s.n_float), static_cast<long long>(s.n_int));
}

const Row* match(const Family& f, PyObject* kind, i64 order) {
    for (int r = 0; r < f.n_rows; ++r) {
        const Row& row = f.rows[r];
        if (row.kind == nullptr ? row.order == order
                                : kind != Py_None && PyUnicode_CompareWithASCIIString(kind, row.kind) == 0)
            return &row;
    }
    if (f.params[0].conv == Conv::Kind)
        PyErr_Format(PyExc_ValueError, "Unsupported native %s kind: %R.", f.noun, kind);
    else
        PyErr_Format(PyExc_ValueError, "Unsupported native %s order: %lld.", f.noun, static_cast<long long>(order));
    return nullptr;
}

PyObject* size_call(const Family& f, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* slot[kMaxParams];
    if (!bind(f, args, nargs, kwnames, slot)) return nullptr;
    PyObject* kind = nullptr;
    i64 v[kMaxParams];
    for (int i = 0; i < f.n_params; ++i)
        if (!convert(f.params[i], slot[i], &kind, &v[i])) return nullptr;
    const Row* row = match(f, kind, v[0]);
    if (row == nullptr) return nullptr;
    const Size s = row->size(v);
    if (s.overflow) {
        PyErr_Format(PyExc_OverflowError, "Native %s arena size does not fit in 64 bits.", f.noun);
        return nullptr;
    }
    return _size(trova::layout::native(s));
}

// ---- the five families ----

// A staged rows x cols input followed by a work arena.
Size staged(i64 rows, i64 cols, const Size& work) {
    Carver c;
    c.take(rows, cols);
    return plus(c.size(), work);
}

// transform_arena_size(kind, n, p, param=0)
const Param kTransformParams[] = {
    {"kind", Conv::Kind, false}, {"n", Conv::I64, false}, {"p", Conv::I64, false}, {"param", Conv::I64, true}};
const Row kTransformRows[] = {
    {"standardize", 0, [](const i64* v) { return sizing::standardize_ax0(v[1], v[2]); }},
    {"log", 0, [](const i64* v) { return sizing::log_transform(v[1], v[2]); }},
    {"log_diff", 0, [](const i64* v) { return sizing::log_diff(v[1], v[2]); }},
    {"diff", 0, [](const i64* v) { return sizing::diff(v[1], v[2], v[3]); }},
    {"rolling_mean", 0, [](const i64* v) { return sizing::rolling_mean(v[1], v[2], v[3]); }},
    {"rolling_var", 0, [](const i64* v) { return sizing::rolling_var(v[1], v[2], v[3]); }},
    {"rolling_std", 0, [](const i64* v) { return sizing::rolling_std(v[1], v[2], v[3]); }},
};

// regression_arena_size(kind, n, p, intercept, n_alpha=0, max_iter=0)
const Param kRegressionParams[] = {{"kind", Conv::Kind, false},    {"n", Conv::I64, false},
                                   {"p", Conv::I64, false},        {"intercept", Conv::Flag, false},
                                   {"n_alpha", Conv::I64, true},   {"max_iter", Conv::I64, true}};
const Row kRegressionRows[] = {
    {"ols", 0, [](const i64* v) { return sizing::ols_work(v[1], v[2]); }},
    {"ridge", 0, [](const i64* v) { return sizing::ridge_work(v[1], v[2]); }},
    {"ridge_gs", 0, [](const i64* v) { return sizing::ridge_gs_work(v[1], v[2]); }},
    {"lasso", 0, [](const i64* v) { return sizing::lasso_work(v[1], v[2]); }},
    {"lasso_gs", 0,
     [](const i64* v) { return sizing::lasso_gs_work(v[1], v[2], static_cast<int>(v[3]), v[4], v[5]); }},
    {"elastic_net", 0, [](const i64* v) { return sizing::elastic_net_work(v[1], v[2]); }},
    {"elastic_net_gs", 0,
     [](const i64* v) { return sizing::elastic_net_gs_work(v[1], v[2], static_cast<int>(v[3]), v[4]); }},
};

// simulation_arena_size(order, n_state, n_var, n_exog, T, n_par); first
// order's state is n_var and n_state plays no part.
const Param kSimulationParams[] = {{"order", Conv::Order, false}, {"n_state", Conv::I64, false},
                                   {"n_var", Conv::I64, false},   {"n_exog", Conv::I64, false},
                                   {"T", Conv::I64, false},       {"n_par", Conv::I64, false}};
const Row kSimulationRows[] = {
    {nullptr, 1, [](const i64* v) { return sizing::simulate_order1(v[2], v[3], v[4], v[5]); }},
    {nullptr, 2, [](const i64* v) { return sizing::simulate_order2(v[1], v[2], v[3], v[4], v[5]); }},
};

// filter_arena_size(kind, n_state, n_ctrl, n_exog, n_obs, T, n_par): the
// linear and extended filters run on the stacked state n_state + n_ctrl.
const Param kFilterParams[] = {{"kind", Conv::Kind, false},  {"n_state", Conv::I64, false},
                               {"n_ctrl", Conv::I64, false}, {"n_exog", Conv::I64, false},
                               {"n_obs", Conv::I64, false},  {"T", Conv::I64, false},
                               {"n_par", Conv::I64, false}};
// The stacked state n = n_state + n_ctrl, its sum checked, handed to the
// size of a linear or extended filter.
template <class Sized>
Size stacked(const i64* v, Sized sized) {
    i64 n = 0;
    const bool wrapped = __builtin_add_overflow(v[1], v[2], &n);
    Size s = sized(n);
    s.overflow |= wrapped;
    return s;
}

const Row kFilterRows[] = {
    {"linear", 0,
     [](const i64* v) {
         return stacked(v, [v](i64 n) {
             return plus(sizing::filter_linear_input(n, v[4], v[3], v[5]), sizing::kf(n, v[4], v[3]));
         });
     }},
    {"extended", 0,
     [](const i64* v) {
         return stacked(v, [v](i64 n) {
             return plus(sizing::filter_extended_input(n, v[4], v[3], v[5], v[6]), sizing::ekf(n, v[4], v[3]));
         });
     }},
    {"unscented", 0,
     [](const i64* v) {
         return plus(sizing::filter_unscented_input(v[1], v[2], v[3], v[4], v[5], v[6]),
                     sizing::ukf(v[1], v[2], v[3], v[4]));
     }},
};

// diagnostic_arena_size(kind, n, p=0, lags=0): the staged input, then the
// test's work arena.
const Param kDiagnosticParams[] = {
    {"kind", Conv::Kind, false}, {"n", Conv::I64, false}, {"p", Conv::I64, true}, {"lags", Conv::I64, true}};

// The regression diagnostics' staged response and design (the steps'
// own layout), followed by their work arena.
Size regression_staged(const i64* v, const Size& work) { return plus(sizing::regression_test_input(v[1], v[2]), work); }

const Row kDiagnosticRows[] = {
    {"wald_mean", 0, [](const i64* v) { return staged(v[1], v[2], sizing::wald_mean_hac(v[1], v[2])); }},
    {"wald_covariance", 0,
     [](const i64* v) { return staged(v[1], v[2], sizing::wald_covariance_hac(v[1], v[2])); }},
    {"wald_second_moment", 0,
     [](const i64* v) { return staged(v[1], v[2], sizing::wald_second_moment_hac(v[1], v[2])); }},
    {"ljung_box", 0, [](const i64* v) { return staged(v[1], 1, sizing::ljung_box(v[1], v[3])); }},
    {"jarque_bera", 0, [](const i64* v) { return staged(v[1], 1, Size{}); }},
    {"breusch_pagan", 0,
     [](const i64* v) {
         // Staged residuals, design and design with its intercept column
         // (2 n (p + 1) floats), then the work of p + 1 columns.
         Carver c;
         const i64 p1 = c.sum(v[2], 1);
         Size s = plus(sizing::breusch_pagan_input(v[1], v[2]), sizing::breusch_pagan(v[1], p1));
         s.overflow |= c.overflowed();
         return s;
     }},
    {"breusch_godfrey", 0,
     [](const i64* v) { return regression_staged(v, sizing::breusch_godfrey(v[1], v[2], v[3])); }},
    {"chow", 0, [](const i64* v) { return regression_staged(v, sizing::chow(v[2])); }},
    {"cusum", 0, [](const i64* v) { return regression_staged(v, sizing::cusum(v[1], v[2])); }},
    {"cusumsq", 0, [](const i64* v) { return regression_staged(v, sizing::cusumsq(v[1], v[2])); }},
};

template <class T, int N>
constexpr int count_of(const T (&)[N]) {
    return N;
}

const Family kTransform{"transform_arena_size", "transform", kTransformParams, count_of(kTransformParams),
                        kTransformRows, count_of(kTransformRows)};
const Family kRegression{"regression_arena_size", "regression", kRegressionParams, count_of(kRegressionParams),
                         kRegressionRows, count_of(kRegressionRows)};
const Family kSimulation{"simulation_arena_size", "simulation", kSimulationParams, count_of(kSimulationParams),
                         kSimulationRows, count_of(kSimulationRows)};
const Family kFilter{"filter_arena_size", "filter", kFilterParams, count_of(kFilterParams), kFilterRows,
                     count_of(kFilterRows)};
const Family kDiagnostic{"diagnostic_arena_size", "diagnostic", kDiagnosticParams, count_of(kDiagnosticParams),
                         kDiagnosticRows, count_of(kDiagnosticRows)};

template <const Family& F>
PyObject* family_function(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return size_call(F, args, nargs, kwnames);
}

// The text before "--" is the call signature help() shows; __doc__ is the
// rest.
PyMethodDef arena_methods[] = {
    {"transform_arena_size", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(family_function<kTransform>)),
     METH_FASTCALL | METH_KEYWORDS,
     "transform_arena_size($module, /, kind, n, p, param=0)\n--\n\n"
     "Return the complete input and scratch arena requirement for a transform."},
    {"regression_arena_size",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(family_function<kRegression>)),
     METH_FASTCALL | METH_KEYWORDS,
     "regression_arena_size($module, /, kind, n, p, intercept, n_alpha=0, max_iter=0)\n--\n\n"
     "Return the complete staged-input and work requirement for regression."},
    {"simulation_arena_size",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(family_function<kSimulation>)),
     METH_FASTCALL | METH_KEYWORDS,
     "simulation_arena_size($module, /, order, n_state, n_var, n_exog, T, n_par)\n--\n\n"
     "Return the complete packed-input and work requirement for simulation."},
    {"filter_arena_size", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(family_function<kFilter>)),
     METH_FASTCALL | METH_KEYWORDS,
     "filter_arena_size($module, /, kind, n_state, n_ctrl, n_exog, n_obs, T, n_par)\n--\n\n"
     "Return the complete packed-input and Kalman-work requirement."},
    {"diagnostic_arena_size",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(family_function<kDiagnostic>)),
     METH_FASTCALL | METH_KEYWORDS,
     "diagnostic_arena_size($module, /, kind, n, p=0, lags=0)\n--\n\n"
     "Return the complete staged-input and work requirement for a diagnostic."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef arena_module = {
    PyModuleDef_HEAD_INIT,
    "Tessaroventa._ckernels.monte_carlo._arena",
    kModuleDoc,
    0,  // m_size: the module keeps no state
    arena_methods,
    nullptr,  // m_slots
    nullptr,  // m_traverse
    nullptr,  // m_clear
    nullptr,  // m_free
};

}  // namespace

PyMODINIT_FUNC PyInit__arena(void) { return PyModule_Create(&arena_module); }
