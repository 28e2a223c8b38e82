// InductorImpedanceModel: a linear inductor between i and j whose current I,
// counted from i to j, is an unknown of its own, q.
//
//   node rows:   +I into row i, -I into row j
//   branch row:  -phi_i + phi_j + L I = 0
//   Admitance0:  +1 at iq, -1 at jq, -1 at qi, +1 at qj (ground terms left out); L at qq
//   RHSCurrent:  B[i-1] -= I, B[j-1] += I, B[q-1] -= (u_j - u_i) + L I at the present iterate u
//   Values:      current NodePhase[q-1] (the solved branch unknown); phase and voltage i - j
// L is kept as given and never divided by, so L = 0 is allowed: it ties phi_i to phi_j.
#include "kernel/models/element_model.hpp"

namespace loxant {
namespace {

struct InductorImpedance {
    ElementModelObject base;
    double inductance;
    int32_t i, j, q, eindex;
    int32_t ind_iq, ind_jq, ind_qi, ind_qj, ind_qq;
};

void admitance0(ElementModelObject* self, DoubleArray a0) noexcept {
    const InductorImpedance& m = as<InductorImpedance>(self);
    // Tested per terminal, so that an element with both ends grounded writes
    // nothing but its own branch diagonal.
    if (m.i != 0) {
        a0[m.ind_iq] += 1.0;
        a0[m.ind_qi] -= 1.0;
    }
    if (m.j != 0) {
        a0[m.ind_jq] -= 1.0;
        a0[m.ind_qj] += 1.0;
    }
    a0[m.ind_qq] += m.inductance;
}

void rhs_current(ElementModelObject* self, DoubleArray b, const StepContext& ctx) noexcept {
    const InductorImpedance& m = as<InductorImpedance>(self);
    const double current = ctx.phases[m.q - 1];
    stamp_current(b, m.i, m.j, current);
    b[m.q - 1] -= across(ctx.phases, m.j, m.i) + m.inductance * current;
}

void values(ElementModelObject* self, const StepContext&) noexcept {
    const InductorImpedance& m = as<InductorImpedance>(self);
    const SharedPointers& p = self->book->arrays();
    read_out(p, m.i, m.j, m.eindex);
    p.elem_currents[m.eindex] = p.node_phases[m.q - 1];
}

void set_defaults(ElementModelObject* self) {
    as<InductorImpedance>(self).inductance = 1.0;
}

void set_parameters(ElementModelObject* self, const Params& params) {
    as<InductorImpedance>(self).inductance = params.real(0);
}

const ElementOps kOps = {admitance0, no_admitance, no_admitance, rhs_current, values};

// Terminal indices of the position table below.
enum : int { kI, kJ, kQ };

const ModelClass kClass = {
    "InductorImpedanceModel",
    "InductorImpedanceModel(i, j, q, eindex): inductor whose current is the unknown q; "
    "SetParameters([L]).",
    sizeof(InductorImpedance),
    &kOps,
    {{"i", offsetof(InductorImpedance, i), false},
     {"j", offsetof(InductorImpedance, j), false},
     {"q", offsetof(InductorImpedance, q), true}},
    offsetof(InductorImpedance, eindex),
    {{"ind_iq", offsetof(InductorImpedance, ind_iq), kI, kQ},
     {"ind_jq", offsetof(InductorImpedance, ind_jq), kJ, kQ},
     {"ind_qi", offsetof(InductorImpedance, ind_qi), kQ, kI},
     {"ind_qj", offsetof(InductorImpedance, ind_qj), kQ, kJ},
     {"ind_qq", offsetof(InductorImpedance, ind_qq), kQ, kQ}},
    {NodePhase, NodeVoltage, ElementPhase, ElementVoltage, ElementCurrent},
    {{"inductance", offsetof(InductorImpedance, inductance)}},
    set_defaults,
    set_parameters,
    {},
    {},
};

const bool kRegistered = register_model_class(&kClass);

} // namespace
} // namespace loxant
