// What an Engine holds, and the set-up that checks its arguments and fills it
// (engine_setup.cpp).
#pragma once

#include "capi/buffer.hpp"
#include "capi/ref.hpp"
#include "engine/transient.hpp"
#include "kernel/engine_api.hpp"

#include <memory>
#include <vector>

namespace loxant::engine {

using IntView1 = capi::BufferView<int32_t, 1>;
using DoubleTable = capi::BufferView<double, 2>;
using IntTable = capi::BufferView<int32_t, 2>;

struct EngineState {
    std::vector<capi::Ref> model_refs;
    std::vector<ElementModelObject*> models;
    capi::DoubleView node_phase, node_voltage, node_dvoltage;
    capi::DoubleView elem_phase, elem_voltage, elem_current;
    IntView1 elem_n;
    std::unique_ptr<Transient> transient;
    capi::Ref progress;
    bool calls_python = false;
    bool started = false;
    bool running = false;
    bool stopped = false; // an error ended the run
    int32_t size = 0, nnz = 0;
};

// The element model table of loxant.CircuitKernel: import_engine_api imports
// it and checks that both modules were built from the same sources.
void import_engine_api();
const EngineApi& engine_api();

// The module's REQUIRED_OPTIONS, OPTIONAL_OPTIONS, outcome codes (FINISHED,
// TABLES_FULL, FAILED, STEP_LIMIT: what Engine.run returns) and failure
// reasons (REASON_*: the reason of Engine.failure).
void add_run_constants(PyObject* module);

// The state of a run from the nine arguments of Engine(...), every index and
// array checked.
std::unique_ptr<EngineState> make_state(PyObject* const* given);

// Raises unless models[k] still fits a system of n unknowns and nnz entries
// and is bound to the state's arrays.
void check_model(PyObject* obj, Py_ssize_t k, int32_t n, int32_t nnz, const EngineState& s);

} // namespace loxant::engine
