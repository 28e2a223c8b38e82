// VoltageSourceModel: an ideal voltage source between i and j, with the branch
// current as unknown q.
//
//   V_i - V_j = s,  s = source_voltage * smooth_factor
//   Admitance1: +1 at iq, qi unless i = 0; -1 at jq, qj unless j = 0
//   RHSCurrent: B[i-1] -= I_q, B[j-1] += I_q at ctx.phases,
//               B[q-1] -= (V_i - V_j - s) / coeff_dt at ctx.voltages
//   Values:     current NodePhase[q-1]; phase and voltage i - j; counts turns
// The branch row is written on phases: V moves by coeff_dt per unit of phase,
// so dividing the voltage residual by coeff_dt gives the phase correction and
// keeps the +-1 stamp.  coeff_dt = 0 is not guarded.
#include "kernel/models/branch_source.hpp"

namespace loxant {
namespace {

struct VoltageSource {
    ElementModelObject base;
    BranchSource b;
    double source_voltage;
};

void admitance1(ElementModelObject* self, DoubleArray a1, const StepContext&) noexcept {
    stamp_branch(a1, as<VoltageSource>(self).b);
}

void rhs_current(ElementModelObject* self, DoubleArray b, const StepContext& ctx) noexcept {
    const VoltageSource& m = as<VoltageSource>(self);
    const BranchSource& s = m.b;
    stamp_current(b, s.i, s.j, ctx.phases[s.q - 1]);
    const double residual = across(ctx.voltages, s.i, s.j) - m.source_voltage * ctx.smooth_factor;
    b[s.q - 1] -= residual / ctx.coeff_dt;
}

void values(ElementModelObject* self, const StepContext& ctx) noexcept {
    report_branch_source(self->book->arrays(), as<VoltageSource>(self).b, ctx);
}

void set_defaults(ElementModelObject* self) {
    as<VoltageSource>(self).source_voltage = 0.0;
}

void set_parameters(ElementModelObject* self, const Params& params) {
    as<VoltageSource>(self).source_voltage = params.real(0);
}

const ElementOps kOps = {no_admitance0, admitance1, no_admitance, rhs_current, values};

const ModelClass kClass = {
    "VoltageSourceModel",
    "VoltageSourceModel(i, j, q, eindex): ideal voltage source with branch current q; "
    "SetParameters([V]).",
    sizeof(VoltageSource),
    &kOps,
    branch_source_terminals<VoltageSource>(),
    branch_source_eindex<VoltageSource>(),
    branch_source_positions<VoltageSource>(),
    branch_source_arrays(),
    {{"source_voltage", offsetof(VoltageSource, source_voltage)}},
    set_defaults,
    set_parameters,
    {},
    {},
};

const bool kRegistered = register_model_class(&kClass);

} // namespace
} // namespace loxant
