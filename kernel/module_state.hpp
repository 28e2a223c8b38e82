// State of the CircuitKernel module shared by the kernels and the models.
#pragma once

#include "capi/ref.hpp"

namespace loxant {

// The module (one per process) and the NumPy array type it checks against;
// set once by the module's exec step.
struct ModuleState {
    PyObject* module = nullptr;
    PyTypeObject* ndarray = nullptr;
};

ModuleState& module_state();

// Looks a module global up at call time: NameError when it is missing.
capi::Ref lookup_global(const char* name);

} // namespace loxant
