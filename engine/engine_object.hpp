// The Python face of the native time loop: the class loxant.NativeEngine.Engine.
#pragma once

#include "capi/ref.hpp"

namespace loxant::engine {

// Imports the element model table of loxant.CircuitKernel and adds the class.
void add_engine_type(PyObject* module);

} // namespace loxant::engine
