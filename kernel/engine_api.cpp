#include "kernel/engine_api.hpp"

namespace loxant {

namespace {

const ElementOps kEmptyOps = {no_admitance0, no_admitance, no_admitance, no_admitance, no_values};

const EngineApi kEngineApi = {kEngineApiVersion,  sizeof(ElementModelObject),
                              element_model_type, class_of,
                              &kEmptyOps,         model_generation};

} // namespace

void add_engine_api(PyObject* module) {
    capi::Ref capsule = capi::Ref::steal(
        PyCapsule_New(const_cast<EngineApi*>(&kEngineApi), kEngineApiCapsule, nullptr));
    if (PyModule_AddObject(module, "_engine_api", capsule.get()) < 0)
        capi::raise_pending();
    capsule.release();
}

} // namespace loxant
