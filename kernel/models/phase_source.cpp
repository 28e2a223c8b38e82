// PhaseSourceModel: an ideal phase source between i and j, with the branch
// current as unknown q.
//
//   phi_i - phi_j = s,  s = source_phase * smooth_factor
//   Admitance0: +1 at iq, qi unless i = 0; -1 at jq, qj unless j = 0
//   RHSCurrent: B[i-1] -= I_q, B[j-1] += I_q, B[q-1] -= phi_i - phi_j - s,
//               all at ctx.phases
//   Values:     current NodePhase[q-1]; phase and voltage i - j; counts turns
#include "kernel/models/branch_source.hpp"

namespace loxant {
namespace {

struct PhaseSource {
    ElementModelObject base;
    BranchSource b;
    double source_phase;
};

void admitance0(ElementModelObject* self, DoubleArray a0) noexcept {
    stamp_branch(a0, as<PhaseSource>(self).b);
}

void rhs_current(ElementModelObject* self, DoubleArray b, const StepContext& ctx) noexcept {
    const PhaseSource& m = as<PhaseSource>(self);
    const BranchSource& s = m.b;
    stamp_current(b, s.i, s.j, ctx.phases[s.q - 1]);
    b[s.q - 1] -= across(ctx.phases, s.i, s.j) - m.source_phase * ctx.smooth_factor;
}

void values(ElementModelObject* self, const StepContext& ctx) noexcept {
    report_branch_source(self->book->arrays(), as<PhaseSource>(self).b, ctx);
}

void set_defaults(ElementModelObject* self) {
    as<PhaseSource>(self).source_phase = 0.0;
}

void set_parameters(ElementModelObject* self, const Params& params) {
    as<PhaseSource>(self).source_phase = params.real(0);
}

const ElementOps kOps = {admitance0, no_admitance, no_admitance, rhs_current, values};

const ModelClass kClass = {
    "PhaseSourceModel",
    "PhaseSourceModel(i, j, q, eindex): ideal phase source with branch current q; "
    "SetParameters([phase]).",
    sizeof(PhaseSource),
    &kOps,
    branch_source_terminals<PhaseSource>(),
    branch_source_eindex<PhaseSource>(),
    branch_source_positions<PhaseSource>(),
    branch_source_arrays(),
    {{"source_phase", offsetof(PhaseSource, source_phase)}},
    set_defaults,
    set_parameters,
    {},
    {},
};

const bool kRegistered = register_model_class(&kClass);

} // namespace
} // namespace loxant
