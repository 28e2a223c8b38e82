// What the linear controlled sources share.  Their output is a current
// between i and j (VCCS, CCCS) or a voltage held across i and j by a branch
// current q (VCVS, CCVS, stamped like the voltage source); their control is
// the voltage k - l (dphi/dt of the two nodes) or the branch current c of
// another element.  The gain is the only parameter.
#pragma once

#include "kernel/models/element_model.hpp"

namespace loxant {

struct ControlledSource {
    ElementModelObject base;
    double gain;
    int32_t i, j, k, l, q, c, eindex;
    int32_t ind_iq, ind_jq, ind_qi, ind_qj; // output branch
    int32_t ind_ik, ind_il, ind_jk, ind_jl; // output current from the control voltage
    int32_t ind_ic, ind_jc;                 // output current from the control current
    int32_t ind_qk, ind_ql, ind_qc;         // held voltage from the control
};

// +1 at iq, qi unless i = 0; -1 at jq, qj unless j = 0 (the voltage source's stamp).
inline void stamp_output_branch(DoubleArray a, const ControlledSource& m) noexcept {
    if (m.i != 0) {
        a[m.ind_iq] += 1.0;
        a[m.ind_qi] += 1.0;
    }
    if (m.j != 0) {
        a[m.ind_jq] -= 1.0;
        a[m.ind_qj] -= 1.0;
    }
}

// Node rows of the output branch current, and the branch row: the held
// voltage's residual divided by coeff_dt, as the voltage source writes it.
inline void held_voltage_residual(DoubleArray b, const ControlledSource& m, const StepContext& ctx,
                                  double wanted) noexcept {
    stamp_current(b, m.i, m.j, ctx.phases[m.q - 1]);
    b[m.q - 1] -= (across(ctx.voltages, m.i, m.j) - wanted) / ctx.coeff_dt;
}

// The output's current (its branch current for the voltage outputs), phase
// and voltage; no turn counting.
inline void report_output(ElementModelObject* self, double current) noexcept {
    const ControlledSource& m = as<ControlledSource>(self);
    const SharedPointers& p = self->book->arrays();
    p.elem_currents[m.eindex] = current;
    read_out(p, m.i, m.j, m.eindex);
}

inline void set_gain(ElementModelObject* self, const Params& params) {
    as<ControlledSource>(self).gain = params.real(0);
}

inline void gain_one(ElementModelObject* self) {
    as<ControlledSource>(self).gain = 1.0;
}

#define LOXANT_CS_FIELD(name) offsetof(ControlledSource, name)

inline std::vector<SharedArray> controlled_source_arrays() {
    return {NodePhase, NodeVoltage, ElementPhase, ElementVoltage, ElementCurrent};
}

} // namespace loxant
