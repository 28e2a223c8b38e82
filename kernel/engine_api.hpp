// What loxant.CircuitKernel lends to a native time loop in another extension
// module: a table of functions published as the capsule
// "loxant.CircuitKernel._engine_api".  The loop calls the element operations
// through each model's own table; this only tells it how to find and check
// the models.
#pragma once

#include "kernel/models/element_model.hpp"

namespace loxant {

constexpr const char* kEngineApiCapsule = "loxant.CircuitKernel._engine_api";
constexpr int kEngineApiVersion = 3;

struct EngineApi {
    int version;
    size_t object_size; // sizeof(ElementModelObject): both sides built from the same headers
    PyTypeObject* (*element_model_type)();
    const ModelClass* (*class_of)(PyObject* model); // null for a bare ElementModel
    // The operations that do nothing, as the models' tables hold them, so a
    // loop can leave out the calls that would change nothing.
    const ElementOps* empty_ops;
    // Counts every change of a model's unknowns, positions or bindings.
    uint64_t (*model_generation)();
};

// Adds the capsule to the module's globals.
void add_engine_api(PyObject* module);

} // namespace loxant
