/* Allocation-failure injection for Python-level calls, loaded by the tests
 * through ctypes.PyDLL (the GIL is held on entry).
 *
 * py_alloc_fail_call(fn, args, kwargs, expected, fail_at, reps) runs
 * fn(*args, **kwargs) reps times with hooks on all three CPython allocator
 * domains (raw, mem, object). In every run the fail_at-th allocation request
 * (1-based, counting malloc, calloc and realloc alike) returns NULL; fail_at
 * 0 fails nothing. Before each run a full collection empties the
 * interpreter's free lists, so the objects a call builds come from the
 * allocator every time (and their allocations can be failed); after the run
 * the result and any exception are dropped and the free lists emptied again,
 * all while the blocks are still counted, so a run that leaks nothing ends
 * with as many blocks freed as taken.
 *
 * The result is a tuple with one (requests, net_blocks, outcome, exc_type)
 * tuple per run: requests counts the allocation requests the call made
 * (the failed one included), net_blocks the blocks taken minus the blocks
 * freed over the whole run, outcome is
 *   0  the call returned an object equal to expected,
 *   1  the call raised MemoryError,
 *   2  the call raised an exception of type expected (when expected is an
 *      exception class),
 *   3  anything else: another exception, a different result, a result with
 *      an exception set or NULL without one,
 * and exc_type is the raised exception's type, or None. */
#define PY_SSIZE_T_CLEAN
#include <Python.h>

typedef struct {
    PyMemAllocatorEx orig;
} Domain;

static Domain g_domain[3];
static const PyMemAllocatorDomain g_ids[3] = {PYMEM_DOMAIN_RAW, PYMEM_DOMAIN_MEM, PYMEM_DOMAIN_OBJ};
static int g_counting;
static long g_requests, g_fail_at, g_net;

/* One request: 1 when it is the one to fail. */
static int request(void) {
    if (!g_counting) return 0;
    ++g_requests;
    return g_requests == g_fail_at;
}

static void* hook_malloc(void* ctx, size_t n) {
    Domain* d = (Domain*)ctx;
    if (request()) return NULL;
    void* p = d->orig.malloc(d->orig.ctx, n);
    if (p != NULL && g_counting) ++g_net;
    return p;
}

static void* hook_calloc(void* ctx, size_t n, size_t size) {
    Domain* d = (Domain*)ctx;
    if (request()) return NULL;
    void* p = d->orig.calloc(d->orig.ctx, n, size);
    if (p != NULL && g_counting) ++g_net;
    return p;
}

static void* hook_realloc(void* ctx, void* old, size_t n) {
    Domain* d = (Domain*)ctx;
    if (request()) return NULL;
    void* p = d->orig.realloc(d->orig.ctx, old, n);
    if (p != NULL && old == NULL && g_counting) ++g_net;  /* a realloc of NULL is a new block */
    return p;
}

static void hook_free(void* ctx, void* p) {
    Domain* d = (Domain*)ctx;
    if (p != NULL && g_counting) --g_net;
    d->orig.free(d->orig.ctx, p);
}

static void install(void) {
    for (int i = 0; i < 3; ++i) {
        PyMem_GetAllocator(g_ids[i], &g_domain[i].orig);
        PyMemAllocatorEx hook = {&g_domain[i], hook_malloc, hook_calloc, hook_realloc, hook_free};
        PyMem_SetAllocator(g_ids[i], &hook);
    }
}

static void uninstall(void) {
    for (int i = 0; i < 3; ++i) PyMem_SetAllocator(g_ids[i], &g_domain[i].orig);
}

/* One run; returns its outcome and sets *exc_type (a new reference or NULL). */
static int run_once(PyObject* fn, PyObject* args, PyObject* kwargs, PyObject* expected,
                    PyObject** exc_type) {
    PyObject* res = PyObject_Call(fn, args, kwargs);
    g_fail_at = 0; /* from here on nothing fails; blocks are still counted */
    PyObject *type = NULL, *value = NULL, *tb = NULL;
    PyErr_Fetch(&type, &value, &tb);
    int outcome = 3;
    if (res != NULL && type == NULL) {
        if (PyObject_RichCompareBool(res, expected, Py_EQ) == 1) outcome = 0;
        PyErr_Clear();
    } else if (res == NULL && type != NULL) {
        if (PyErr_GivenExceptionMatches(type, PyExc_MemoryError))
            outcome = 1;
        else if (PyExceptionClass_Check(expected) && PyErr_GivenExceptionMatches(type, expected))
            outcome = 2;
    }
    Py_XDECREF(res);
    Py_XDECREF(value);
    Py_XDECREF(tb);
    *exc_type = type;
    return outcome;
}

PyObject* py_alloc_fail_call(PyObject* fn, PyObject* args, PyObject* kwargs, PyObject* expected,
                             long fail_at, long reps) {
    if (kwargs == Py_None) kwargs = NULL;
    PyObject* runs = PyTuple_New(reps);
    if (runs == NULL) return NULL;
    for (long r = 0; r < reps; ++r) {
        PyGC_Collect();
        install();
        g_requests = 0;
        g_net = 0;
        g_fail_at = fail_at;
        g_counting = 1;
        PyObject* exc_type = NULL;
        const int outcome = run_once(fn, args, kwargs, expected, &exc_type);
        const long requests = g_requests;
        Py_XDECREF(exc_type); /* exception classes outlive the run */
        PyGC_Collect();
        g_counting = 0;
        uninstall();
        PyObject* run = Py_BuildValue("(llis)", requests, g_net, outcome,
                                      exc_type != NULL ? ((PyTypeObject*)exc_type)->tp_name : NULL);
        if (run == NULL) {
            Py_DECREF(runs);
            return NULL;
        }
        PyTuple_SET_ITEM(runs, r, run);
    }
    return runs;
}
