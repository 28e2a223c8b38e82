// The SparseDirect class and the module objects it checks against.
#pragma once

#include "capi/ref.hpp"

namespace loxant {

// Set once by the module's init function; owned for the life of the process.
struct SolverModuleState {
    PyTypeObject* ndarray = nullptr;
    PyTypeObject* array = nullptr;
    PyObject* value_template = nullptr; // empty array.array('d'), copied per analysis
};

SolverModuleState& solver_module_state();

// Readies the class and binds it in the module as "SparseDirect".
void add_sparse_direct_type(PyObject* module);

} // namespace loxant
