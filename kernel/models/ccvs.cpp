// CCVSModel: holds V_i - V_j = r I_c with the branch current q, I_c being the
// branch unknown c of another element.
//   Admitance1: the voltage source's +-1 branch stamp; -r / coeff_dt at qc
//               (the branch row is the voltage residual over coeff_dt, and
//               I_c enters it directly, not through its derivative)
//   RHSCurrent: B[i-1] -= I_q, B[j-1] += I_q, B[q-1] -= (V_i - V_j - r I_c) / coeff_dt
//   Values:     current NodePhase[q-1]; phase and voltage i - j
#include "kernel/models/controlled_source.hpp"

namespace loxant {
namespace {

void admitance1(ElementModelObject* self, DoubleArray a1, const StepContext& ctx) noexcept {
    const ControlledSource& m = as<ControlledSource>(self);
    stamp_output_branch(a1, m);
    a1[m.ind_qc] -= m.gain / ctx.coeff_dt;
}

void rhs_current(ElementModelObject* self, DoubleArray b, const StepContext& ctx) noexcept {
    const ControlledSource& m = as<ControlledSource>(self);
    held_voltage_residual(b, m, ctx, m.gain * ctx.phases[m.c - 1]);
}

void values(ElementModelObject* self, const StepContext&) noexcept {
    const ControlledSource& m = as<ControlledSource>(self);
    report_output(self, self->book->arrays().node_phases[m.q - 1]);
}

const ElementOps kOps = {no_admitance0, admitance1, no_admitance, rhs_current, values};

enum : int { kI, kJ, kQ, kC };

const ModelClass kClass = {
    "CCVSModel",
    "CCVSModel(i, j, q, c, eindex): holds V_i - V_j = r I_c with branch current q, I_c the "
    "branch unknown c; SetParameters([r]).",
    sizeof(ControlledSource),
    &kOps,
    {{"i", LOXANT_CS_FIELD(i), false},
     {"j", LOXANT_CS_FIELD(j), false},
     {"q", LOXANT_CS_FIELD(q), true},
     {"c", LOXANT_CS_FIELD(c), true}},
    LOXANT_CS_FIELD(eindex),
    {{"ind_iq", LOXANT_CS_FIELD(ind_iq), kI, kQ},
     {"ind_jq", LOXANT_CS_FIELD(ind_jq), kJ, kQ},
     {"ind_qi", LOXANT_CS_FIELD(ind_qi), kQ, kI},
     {"ind_qj", LOXANT_CS_FIELD(ind_qj), kQ, kJ},
     {"ind_qc", LOXANT_CS_FIELD(ind_qc), kQ, kC}},
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
