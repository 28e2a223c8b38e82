// Single-phase initialisation of loxant.NativeEngine.
#include "capi/module.hpp"
#include "capi/errors.hpp"
#include "engine/engine_object.hpp"
#include "engine/sparsity_pattern.hpp"
#include "engine/trace_writer.hpp"

namespace {

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "loxant.NativeEngine",
    "The native transient time loop of loxant: BDF2 and Newton over the element models of "
    "loxant.CircuitKernel, with KLU.",
    -1,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

capi::Ref create_module() {
    capi::Ref module = capi::Ref::steal(PyModule_Create(&module_def));
    capi::check_python_version("loxant.NativeEngine");
    loxant::engine::add_engine_type(module.get());
    loxant::engine::add_trace_writer(module.get());
    loxant::engine::add_sparsity_pattern(module.get());
    return module;
}

} // namespace

PyMODINIT_FUNC PyInit_NativeEngine() {
    PyObject* module = nullptr;
    if (capi::guarded("init loxant.NativeEngine", "engine/module.cpp",
                      [&] { module = create_module().release(); }))
        return module;
    if (!PyErr_Occurred())
        PyErr_SetString(PyExc_ImportError, "init loxant.NativeEngine");
    return nullptr;
}
