// The six module functions of loxant.CircuitKernel.
#pragma once

#include "capi/ref.hpp"

namespace loxant {

// InitElementModels, BuildStaticMatrix, BuildMatrix, UpdateMatrix, UpdateRHS,
// UpdateValues; terminated by a null entry.
PyMethodDef* kernel_method_defs();

} // namespace loxant
