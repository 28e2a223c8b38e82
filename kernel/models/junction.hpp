// What the junction classes share: their fields, array binding and the
// current law's ground handling.
#pragma once

#include "kernel/models/element_model.hpp"

namespace loxant {

// The nine lxglobals arrays every junction binds, in binding order.
inline std::vector<SharedArray> junction_arrays() {
    return {NodePhase,      NodeVoltage,    NodeDVoltage, ElementPhase, ElementVoltage,
            ElementCurrent, ElementN,       ElementInc,   ElementDec};
}

// Writes current, phase and voltage at eindex and counts the phase's turns.
inline void report_junction(const SharedPointers& p, int32_t e, double current, double phase,
                            double voltage, const StepContext& ctx) noexcept {
    p.elem_currents[e] = current;
    p.elem_phases[e] = phase;
    p.elem_voltages[e] = voltage;
    CountPhaseSlips(p.elem_phases[e], ctx.phase_hysteresis, p.elem_n[e], p.elem_inc[e],
                    p.elem_dec[e]);
}

}  // namespace loxant
