// VCVSModel: holds V_i - V_j = mu (V_k - V_l) with the branch current q, like
// the voltage source whose value is the control voltage (V = dphi/dt).
//   Admitance1: the voltage source's +-1 branch stamp; -mu at qk, +mu at ql
//               (the branch row is the voltage residual over coeff_dt)
//   RHSCurrent: B[i-1] -= I_q, B[j-1] += I_q,
//               B[q-1] -= (V_i - V_j - mu (V_k - V_l)) / coeff_dt
//   Values:     current NodePhase[q-1]; phase and voltage i - j
#include "kernel/models/controlled_source.hpp"

namespace loxant {
namespace {

void admitance1(ElementModelObject* self, DoubleArray a1, const StepContext&) noexcept {
    const ControlledSource& m = as<ControlledSource>(self);
    stamp_output_branch(a1, m);
    if (m.k != 0)
        a1[m.ind_qk] -= m.gain;
    if (m.l != 0)
        a1[m.ind_ql] += m.gain;
}

void rhs_current(ElementModelObject* self, DoubleArray b, const StepContext& ctx) noexcept {
    const ControlledSource& m = as<ControlledSource>(self);
    held_voltage_residual(b, m, ctx, m.gain * across(ctx.voltages, m.k, m.l));
}

void values(ElementModelObject* self, const StepContext&) noexcept {
    const ControlledSource& m = as<ControlledSource>(self);
    report_output(self, self->book->arrays().node_phases[m.q - 1]);
}

const ElementOps kOps = {no_admitance0, admitance1, no_admitance, rhs_current, values};

enum : int { kI, kJ, kK, kL, kQ };

const ModelClass kClass = {
    "VCVSModel",
    "VCVSModel(i, j, k, l, q, eindex): holds V_i - V_j = mu (V_k - V_l) with branch current "
    "q; SetParameters([mu]).",
    sizeof(ControlledSource),
    &kOps,
    {{"i", LOXANT_CS_FIELD(i), false},
     {"j", LOXANT_CS_FIELD(j), false},
     {"k", LOXANT_CS_FIELD(k), false},
     {"l", LOXANT_CS_FIELD(l), false},
     {"q", LOXANT_CS_FIELD(q), true}},
    LOXANT_CS_FIELD(eindex),
    {{"ind_iq", LOXANT_CS_FIELD(ind_iq), kI, kQ},
     {"ind_jq", LOXANT_CS_FIELD(ind_jq), kJ, kQ},
     {"ind_qi", LOXANT_CS_FIELD(ind_qi), kQ, kI},
     {"ind_qj", LOXANT_CS_FIELD(ind_qj), kQ, kJ},
     {"ind_qk", LOXANT_CS_FIELD(ind_qk), kQ, kK},
     {"ind_ql", LOXANT_CS_FIELD(ind_ql), kQ, kL}},
    controlled_source_arrays(),
    {{"gain", LOXANT_CS_FIELD(gain)}},
    gain_one,
    set_gain,
    {},
    {},
};

const bool kRegistered = register_model_class(&kClass);

} // namespace
} // namespace loxant
