// The function sparsity_pattern of loxant.NativeEngine: a circuit's matrix
// pattern from its elements' stamp positions.
#pragma once

#include "capi/ref.hpp"

namespace loxant::engine {

void add_sparsity_pattern(PyObject* module);

} // namespace loxant::engine
