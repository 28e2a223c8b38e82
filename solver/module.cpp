// Single-phase initialisation of loxant.SparseDirect.
#include "capi/module.hpp"
#include "capi/errors.hpp"
#include "solver/sparse_direct.hpp"

namespace loxant {

namespace {

constexpr const char* kModuleName = "loxant.SparseDirect";

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    kModuleName,
    "Sparse direct solver: the KLU-backed class SparseDirect.",
    -1, // single-phase: one module per process, never re-created
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

void set_global(PyObject* module, const char* name, PyObject* value) {
    if (PyDict_SetItemString(PyModule_GetDict(module), name, value) < 0)
        capi::raise_pending();
}

capi::Ref get_type(PyObject* module, const char* name) {
    capi::Ref type = capi::get_attr(module, name);
    if (!PyType_Check(type.get()))
        capi::raise_format(PyExc_TypeError, "%.200s.%.200s is not a type object",
                           PyModule_GetName(module), name);
    return type;
}

// Entered in sys.modules last, so that a failed init leaves nothing behind.
void register_in_sys_modules(PyObject* module) {
    PyObject* modules = PyImport_GetModuleDict();
    int present =
        PyDict_Contains(modules, capi::Ref::steal(PyUnicode_FromString(kModuleName)).get());
    if (present < 0)
        capi::raise_pending();
    if (present == 0 && PyDict_SetItemString(modules, kModuleName, module) < 0)
        capi::raise_pending();
}

// Looks up what the class checks against.  Kept for the life of the process,
// like the module itself; set before the class becomes reachable.
void bind_module_state(PyObject* numpy, PyObject* array) {
    capi::Ref ndarray = get_type(numpy, "ndarray");
    capi::Ref array_type = get_type(array, "array");
    capi::Ref value_template = capi::Ref::steal(PyObject_CallFunction(array_type.get(), "s", "d"));
    SolverModuleState& state = solver_module_state();
    state.ndarray = reinterpret_cast<PyTypeObject*>(ndarray.release());
    state.array = reinterpret_cast<PyTypeObject*>(array_type.release());
    state.value_template = value_template.release();
}

capi::Ref create_module() {
    capi::Ref module = capi::Ref::steal(PyModule_Create(&module_def));
    capi::check_python_version(kModuleName);
    set_global(module.get(), "__builtins__", PyEval_GetBuiltins());

    capi::Ref numpy = capi::Ref::steal(PyImport_ImportModule("numpy"));
    capi::Ref array = capi::Ref::steal(PyImport_ImportModule("array"));
    bind_module_state(numpy.get(), array.get());
    set_global(module.get(), "np", numpy.get());
    set_global(module.get(), "array", array.get());
    add_sparse_direct_type(module.get());
    register_in_sys_modules(module.get());
    return module;
}

} // namespace

} // namespace loxant

PyMODINIT_FUNC PyInit_SparseDirect() {
    PyObject* module = nullptr;
    const bool made = capi::guarded("init loxant.SparseDirect", "module.cpp",
                                    [&] { module = loxant::create_module().release(); });
    if (made)
        return module;
    if (!PyErr_Occurred())
        PyErr_SetString(PyExc_ImportError, "init loxant.SparseDirect");
    return nullptr;
}
