// Python face of the KLU solver: argument checks, attributes, object life.
#include "solver/sparse_direct.hpp"

#include "capi/args.hpp"
#include "capi/convert.hpp"
#include "capi/errors.hpp"
#include "solver/klu_solver.hpp"

#include <new>

namespace loxant {

namespace {

constexpr const char* kFile = "sparse_direct.cpp";

struct SparseDirectObject {
    PyObject ob_base; // PyObject_HEAD, spelled out for the formatter
    KluSolver solver;
};

KluSolver& solver_of(PyObject* self) {
    return reinterpret_cast<SparseDirectObject*>(self)->solver;
}

// ---- construction and destruction ----

// Arguments are ignored, so SparseDirect(1, 2) makes an empty solver.
PyObject* sparse_direct_new(PyTypeObject* type, PyObject*, PyObject*) {
    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr)
        return nullptr;
    new (&solver_of(self)) KluSolver();
    return self;
}

void sparse_direct_dealloc(PyObject* self) {
    PyObject_GC_UnTrack(self);
    solver_of(self).~KluSolver();
    Py_TYPE(self)->tp_free(self);
}

int sparse_direct_traverse(PyObject* self, visitproc visit, void* arg) {
    return solver_of(self).traverse(visit, arg);
}

int sparse_direct_clear(PyObject* self) {
    solver_of(self).clear();
    return 0;
}

// ---- methods ----

PyObject* analyze(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return capi::boundary_none("loxant.SparseDirect.SparseDirect.analyze", kFile, [&] {
        static const char* const names[] = {"n", "Ap", "Ai"};
        static const capi::Signature signature{"analyze", names, 3, 3};
        PyObject* given[3];
        capi::parse_args(signature, args, nargs, kwnames, given);
        const int32_t n = capi::to_int32(given[0]);
        PyTypeObject* array = solver_module_state().array;
        capi::check_arg_type(given[1], array, "Ap", true);
        capi::check_arg_type(given[2], array, "Ai", true);
        solver_of(self).analyze(n, given[1], given[2], solver_module_state().value_template);
    });
}

// Matches (Ax, B), both declared of `type`.
void parse_values_and_rhs(const char* function, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames, PyTypeObject* type, bool none_allowed,
                          PyObject** given) {
    static const char* const names[] = {"Ax", "B"};
    const capi::Signature signature{function, names, 2, 2};
    capi::parse_args(signature, args, nargs, kwnames, given);
    capi::check_arg_type(given[0], type, "Ax", none_allowed);
    capi::check_arg_type(given[1], type, "B", none_allowed);
}

// Values and right-hand side as array.array('d'); buffers are taken only when
// there is something to solve.
PyObject* solve(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return capi::boundary_none("loxant.SparseDirect.SparseDirect.solve", kFile, [&] {
        PyObject* given[2];
        parse_values_and_rhs("solve", args, nargs, kwnames, solver_module_state().array, true,
                             given);
        KluSolver& solver = solver_of(self);
        if (!solver.analysed()) {
            solver.skip();
            return;
        }
        require_array(given[0], "Ax");
        require_array(given[1], "B");
        const DoubleView values(given[0], "double", capi::Access::read_contiguous);
        const DoubleView rhs(given[1], "double", capi::Access::write_contiguous);
        solver.solve(values, rhs);
    });
}

PyObject* solve_sparse_matrix(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) {
    return capi::boundary_none("loxant.SparseDirect.SparseDirect.solveSparseMatrix", kFile, [&] {
        PyObject* given[2];
        parse_values_and_rhs("solveSparseMatrix", args, nargs, kwnames,
                             solver_module_state().ndarray, false, given);
        const DoubleView values(given[0], "double", capi::Access::read_contiguous);
        const DoubleView rhs(given[1], "double", capi::Access::write_contiguous);
        solver_of(self).solve(values, rhs);
    });
}

PyObject* solve_matrix(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return capi::boundary_none("loxant.SparseDirect.SparseDirect.solveMatrix", kFile, [&] {
        PyObject* given[2];
        parse_values_and_rhs("solveMatrix", args, nargs, kwnames, solver_module_state().ndarray,
                             false, given);
        const DenseView dense(given[0], "double", capi::Access::read_contiguous);
        const DoubleView rhs(given[1], "double", capi::Access::write_contiguous);
        solver_of(self).solve_dense(dense, rhs);
    });
}

PyObject* release(PyObject* self, PyObject*) {
    solver_of(self).release();
    Py_RETURN_NONE;
}

// The object holds KLU memory that cannot be pickled.
PyObject* refuse_pickling(const char* qualname) {
    return capi::boundary_none(qualname, kFile, [] {
        capi::raise(PyExc_TypeError, "no default __reduce__ due to non-trivial __cinit__");
    });
}

PyObject* reduce(PyObject*, PyObject*) {
    return refuse_pickling("loxant.SparseDirect.SparseDirect.__reduce__");
}

PyObject* setstate(PyObject*, PyObject*) {
    return refuse_pickling("loxant.SparseDirect.SparseDirect.__setstate__");
}

// ---- attributes ----

PyObject* get_n(PyObject* self, void*) {
    return PyLong_FromLong(solver_of(self).analysis().n);
}

PyObject* get_nnz(PyObject* self, void*) {
    return PyLong_FromLong(solver_of(self).analysis().nnz);
}

PyObject* new_ref(const capi::Ref& ref) {
    return capi::Ref::borrow(ref.get()).release();
}

PyObject* get_ap(PyObject* self, void*) {
    return new_ref(solver_of(self).analysis().ap);
}
PyObject* get_ai(PyObject* self, void*) {
    return new_ref(solver_of(self).analysis().ai);
}
PyObject* get_ax(PyObject* self, void*) {
    return new_ref(solver_of(self).analysis().ax);
}
PyObject* get_status(PyObject* self, void*) {
    return PyLong_FromLong(solver_of(self).status());
}
PyObject* get_singular(PyObject* self, void*) {
    return PyBool_FromLong(solver_of(self).singular());
}

template <class Method> PyCFunction as_cfunction(Method method) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(method));
}

PyMethodDef methods[] = {
    {"analyze", as_cfunction(analyze), METH_FASTCALL | METH_KEYWORDS,
     "analyze(n, Ap, Ai)\n--\n\nChecks and analyses the compressed-column pattern of order n."},
    {"solve", as_cfunction(solve), METH_FASTCALL | METH_KEYWORDS,
     "solve(Ax, B)\n--\n\nFactors with array('d') values Ax and solves in place in B."},
    {"solveSparseMatrix", as_cfunction(solve_sparse_matrix), METH_FASTCALL | METH_KEYWORDS,
     "solveSparseMatrix(Ax, B)\n--\n\nFactors with float64 values Ax and solves in place in B."},
    {"solveMatrix", as_cfunction(solve_matrix), METH_FASTCALL | METH_KEYWORDS,
     "solveMatrix(Ax, B)\n--\n\nGathers the pattern's entries from the dense matrix Ax, factors "
     "and solves in place in B."},
    {"__del__", release, METH_NOARGS, "Releases the symbolic analysis and the held buffers."},
    {"__reduce__", reduce, METH_NOARGS, nullptr},
    {"__setstate__", setstate, METH_O, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef attributes[] = {
    {"n", get_n, nullptr, "order of the analysed matrix", nullptr},
    {"nnz", get_nnz, nullptr, "stored entries of the analysed pattern", nullptr},
    {"Ap", get_ap, nullptr, "column pointers given to analyze", nullptr},
    {"Ai", get_ai, nullptr, "row indices given to analyze", nullptr},
    {"Ax", get_ax, nullptr, "value array filled by solveMatrix", nullptr},
    {"status", get_status, nullptr,
     "KLU status of the last analysis or factorization (0 factored, 1 singular, negative: KLU "
     "error), or SparseDirect.NOT_FACTORED (-1) after a solve call that factored nothing because "
     "no analysis was held (before analyze, after __del__)",
     nullptr},
    {"singular", get_singular, nullptr, "whether the last factorization found a singular matrix",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyTypeObject make_type() {
    PyTypeObject type{};
    type.ob_base = PyVarObject{PyObject_HEAD_INIT(nullptr) 0};
    type.tp_name = "loxant.SparseDirect.SparseDirect";
    type.tp_basicsize = sizeof(SparseDirectObject);
    type.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC;
    type.tp_doc = "Sparse LU solver (KLU): analyse a pattern once, then factor and solve.";
    type.tp_new = sparse_direct_new;
    type.tp_dealloc = sparse_direct_dealloc;
    type.tp_traverse = sparse_direct_traverse;
    type.tp_clear = sparse_direct_clear;
    type.tp_methods = methods;
    type.tp_getset = attributes;
    return type;
}

PyTypeObject sparse_direct_type = make_type();

} // namespace

SolverModuleState& solver_module_state() {
    static SolverModuleState state;
    return state;
}

void add_sparse_direct_type(PyObject* module) {
    if (PyType_Ready(&sparse_direct_type) < 0)
        capi::raise_pending();
    capi::Ref not_factored = capi::Ref::steal(PyLong_FromLong(kNotFactored));
    if (PyDict_SetItemString(sparse_direct_type.tp_dict, "NOT_FACTORED", not_factored.get()) < 0)
        capi::raise_pending();
    PyType_Modified(&sparse_direct_type);
    PyObject* type = reinterpret_cast<PyObject*>(&sparse_direct_type);
    if (PyModule_AddObject(module, "SparseDirect", capi::Ref::borrow(type).release()) < 0) {
        Py_DECREF(type);
        capi::raise_pending();
    }
}

} // namespace loxant
