// Initialisation of loxant.CircuitKernel: two-phase, one interpreter per
// process, executed once; then the classes and the module body.
#include "capi/module.hpp"
#include "capi/errors.hpp"
#include "kernel/engine_api.hpp"
#include "kernel/kernels.hpp"
#include "kernel/models/element_block.hpp"
#include "kernel/module_state.hpp"

#define NPY_NO_DEPRECATED_API NPY_1_7_API_VERSION
#include <numpy/ndarraytypes.h>
#include <numpy/ufuncobject.h>

#include <cstdint>

namespace loxant {

namespace {

constexpr const char* kFile = "kernel/module.cpp";

PyObject* g_created = nullptr;  // the one module object of this process
PyObject* g_executed = nullptr; // set once its exec step has run
int64_t g_interpreter = -1;

int64_t current_interpreter() {
#if PY_VERSION_HEX >= 0x03090000
    return PyInterpreterState_GetID(PyInterpreterState_Get());
#else
    return PyInterpreterState_GetID(PyThreadState_Get()->interp);
#endif
}

void copy_spec_attribute(PyObject* import_spec, PyObject* module, const char* from, const char* to,
                         bool none_allowed) {
    capi::Ref value = capi::Ref::steal_or_null(PyObject_GetAttrString(import_spec, from));
    if (!value) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError))
            capi::raise_pending();
        PyErr_Clear();
        return;
    }
    if (value.get() == Py_None && !none_allowed)
        return;
    if (PyObject_SetAttrString(module, to, value.get()) < 0)
        capi::raise_pending();
}

PyObject* create(PyObject* import_spec, PyModuleDef*) {
    int64_t interpreter = current_interpreter();
    if (g_interpreter == -1) {
        g_interpreter = interpreter;
    } else if (g_interpreter != interpreter) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only be loaded into one "
                        "interpreter per process.");
        return nullptr;
    }
    if (g_created != nullptr) {
        Py_INCREF(g_created);
        return g_created;
    }
    PyObject* module = nullptr;
    bool ok = capi::guarded("init loxant.CircuitKernel", kFile, [&] {
        capi::Ref name = capi::get_attr(import_spec, "name");
        capi::Ref made = capi::Ref::steal(PyModule_NewObject(name.get()));
        copy_spec_attribute(import_spec, made.get(), "loader", "__loader__", true);
        copy_spec_attribute(import_spec, made.get(), "origin", "__file__", true);
        copy_spec_attribute(import_spec, made.get(), "parent", "__package__", true);
        copy_spec_attribute(import_spec, made.get(), "submodule_search_locations", "__path__",
                            false);
        module = made.release();
    });
    if (!ok)
        return nullptr;
    Py_INCREF(module);
    g_created = module;
    return module;
}

void set_global(PyObject* module, const char* name, capi::Ref value) {
    if (PyModule_AddObject(module, name, value.get()) < 0)
        capi::raise_pending();
    value.release(); // the module took it
}

void register_in_sys_modules(PyObject* module) {
    PyObject* modules = PyImport_GetModuleDict();
    PyObject* present = PyDict_GetItemString(modules, "loxant.CircuitKernel");
    if (present == nullptr && PyDict_SetItemString(modules, "loxant.CircuitKernel", module) < 0)
        capi::raise_pending();
}

// NumPy's public structs are prefixes of larger private ones, so only a
// smaller type than we were built for is an error.
void check_binary_compatibility() {
    using capi::SizeCheck;
    capi::import_type("builtins", "type", sizeof(PyHeapTypeObject), SizeCheck::warn_if_larger);
    capi::import_type("builtins", "bool", sizeof(PyLongObject), SizeCheck::warn_if_larger);
    capi::import_type("builtins", "complex", sizeof(PyComplexObject), SizeCheck::warn_if_larger);
    capi::import_type("numpy", "dtype", sizeof(PyArray_Descr), SizeCheck::ignore_larger);
    capi::import_type("numpy", "flatiter", sizeof(PyArrayIterObject), SizeCheck::ignore_larger);
    capi::import_type("numpy", "broadcast", sizeof(PyArrayMultiIterObject),
                      SizeCheck::ignore_larger);
    capi::Ref ndarray = capi::import_type("numpy", "ndarray", sizeof(PyArrayObject_fields),
                                          SizeCheck::ignore_larger);
    capi::import_type("numpy", "ufunc", sizeof(PyUFuncObject), SizeCheck::ignore_larger);
    module_state().ndarray = reinterpret_cast<PyTypeObject*>(ndarray.release());
}

capi::Ref import_sibling(PyObject* module, const char* name) {
    capi::Ref fromlist = capi::Ref::steal(Py_BuildValue("(s)", name));
    capi::Ref package = capi::Ref::steal(
        PyImport_ImportModuleLevel("", PyModule_GetDict(module), nullptr, fromlist.get(), 1));
    return capi::get_attr(package.get(), name);
}

void add_functions(PyObject* module) {
    capi::Ref name = capi::Ref::steal(PyUnicode_FromString("loxant.CircuitKernel"));
    for (PyMethodDef* def = kernel_method_defs(); def->ml_name != nullptr; ++def)
        set_global(module, def->ml_name,
                   capi::Ref::steal(PyCFunction_NewEx(def, module, name.get())));
    PyMethodDef* unpickle = unpickle_method_def();
    set_global(module, unpickle->ml_name,
               capi::Ref::steal(PyCFunction_NewEx(unpickle, module, name.get())));
}

void run_module_body(PyObject* module) {
    set_global(module, "np", capi::Ref::steal(PyImport_ImportModule("numpy")));
    set_global(module, "SP", import_sibling(module, "SimulationParameters"));
    set_global(module, "lxglobals", import_sibling(module, "lxglobals"));
    set_global(module, "lxconfig", import_sibling(module, "lxconfig"));
    set_global(module, "RHSHelper", capi::Ref::borrow(Py_None));
    set_global(module, "NTHREADS", capi::Ref::steal(PyLong_FromLong(4)));
    add_functions(module);
    set_global(module, "__test__", capi::Ref::steal(PyDict_New()));
    add_engine_api(module);
}

int exec(PyObject* module) {
    if (g_executed != nullptr) {
        if (g_executed == module)
            return 0;
        PyErr_SetString(PyExc_RuntimeError,
                        "Module 'CircuitKernel' has already been imported. Re-initialisation is "
                        "not supported.");
        return -1;
    }
    bool ok = capi::guarded("init loxant.CircuitKernel", kFile, [&] {
        capi::check_python_version("loxant.CircuitKernel");
        set_global(module, "__builtins__", capi::Ref::steal(PyImport_ImportModule("builtins")));
        register_in_sys_modules(module);
        check_binary_compatibility();
        Py_INCREF(module);
        module_state().module = module;
        add_model_classes(module);
        add_block_classes(module);
        run_module_body(module);
    });
    if (!ok)
        return -1;
    g_executed = module;
    return 0;
}

PyModuleDef_Slot kSlots[] = {
    {Py_mod_create, reinterpret_cast<void*>(create)},
    {Py_mod_exec, reinterpret_cast<void*>(exec)},
    {0, nullptr},
};

PyModuleDef kModuleDef = {
    PyModuleDef_HEAD_INIT,
    "CircuitKernel",
    "Element models and the assembly kernels of the loxant circuit simulator.",
    0,
    nullptr,
    kSlots,
    nullptr,
    nullptr,
    nullptr,
};

} // namespace

ModuleState& module_state() {
    static ModuleState state;
    return state;
}

capi::Ref lookup_global(const char* name) {
    capi::Ref key = capi::Ref::steal(PyUnicode_FromString(name));
    PyObject* value = PyDict_GetItemWithError(PyModule_GetDict(module_state().module), key.get());
    if (value == nullptr) {
        if (!PyErr_Occurred())
            PyErr_Format(PyExc_NameError, "name '%U' is not defined", key.get());
        capi::raise_pending();
    }
    return capi::Ref::borrow(value);
}

} // namespace loxant

PyMODINIT_FUNC PyInit_CircuitKernel() {
    return PyModuleDef_Init(&loxant::kModuleDef);
}
