// MutualInductanceModel: mutual inductance M between two inductors whose
// currents are the branch unknowns q and v.
//
//   branch rows:  row q gains M I_v, row v gains M I_q
//   Admitance0:   M at qv and at vq
//   RHSCurrent:   B[q-1] -= M X[v-1], then B[v-1] -= M X[q-1] at the present iterate X
//   Values:       zero current, phase and voltage: the coupling has no terminals
// Branch unknowns are never ground, so nothing is tested for 0.  The diagonal
// positions qq and vv are stored but unused: the inductors stamp their own.
#include "kernel/models/element_model.hpp"

namespace loxant {
namespace {

struct MutualInductance {
    ElementModelObject base;
    double mutual_inductance;
    int32_t q, v, eindex;
    int32_t ind_qq, ind_qv, ind_vq, ind_vv;
};

void admitance0(ElementModelObject* self, DoubleArray a0) noexcept {
    const MutualInductance& m = as<MutualInductance>(self);
    a0[m.ind_qv] += m.mutual_inductance;
    a0[m.ind_vq] += m.mutual_inductance;
}

void rhs_current(ElementModelObject* self, DoubleArray b, const StepContext& ctx) noexcept {
    const MutualInductance& m = as<MutualInductance>(self);
    b[m.q - 1] -= m.mutual_inductance * ctx.phases[m.v - 1];
    b[m.v - 1] -= m.mutual_inductance * ctx.phases[m.q - 1];
}

void values(ElementModelObject* self, const StepContext&) noexcept {
    const MutualInductance& m = as<MutualInductance>(self);
    const SharedPointers& p = self->book->arrays();
    p.elem_currents[m.eindex] = 0.0;
    p.elem_phases[m.eindex] = 0.0;
    p.elem_voltages[m.eindex] = 0.0;
}

void set_defaults(ElementModelObject* self) {
    as<MutualInductance>(self).mutual_inductance = 0.0;
}

void set_parameters(ElementModelObject* self, const Params& params) {
    as<MutualInductance>(self).mutual_inductance = params.real(0);
}

const ElementOps kOps = {admitance0, no_admitance, no_admitance, rhs_current, values};

// Terminal indices of the position table below; -1 marks an unused position.
enum : int { kUnused = -1, kQ, kV };

const ModelClass kClass = {
    "MutualInductanceModel",
    "MutualInductanceModel(q, v, eindex): mutual inductance between the branch unknowns q and v; "
    "SetParameters([M]).",
    sizeof(MutualInductance),
    &kOps,
    {{"q", offsetof(MutualInductance, q), true}, {"v", offsetof(MutualInductance, v), true}},
    offsetof(MutualInductance, eindex),
    {{"ind_qq", offsetof(MutualInductance, ind_qq), kUnused, kUnused},
     {"ind_qv", offsetof(MutualInductance, ind_qv), kQ, kV},
     {"ind_vq", offsetof(MutualInductance, ind_vq), kV, kQ},
     {"ind_vv", offsetof(MutualInductance, ind_vv), kUnused, kUnused}},
    {NodePhase, NodeVoltage, ElementPhase, ElementVoltage, ElementCurrent},
    {{"mutual_inductance", offsetof(MutualInductance, mutual_inductance)}},
    set_defaults,
    set_parameters,
    {},
    {},
};

const bool kRegistered = register_model_class(&kClass);

} // namespace
} // namespace loxant
