// CCCSModel: a current beta I_c through the source from i to j, I_c being the
// branch unknown c of another element (a voltage source, an inductor with a
// branch, ...).  The term is constant, hence A0.
//   Admitance0: beta at ic, -beta at jc; ground rows left out
//   RHSCurrent: B[i-1] -= I, B[j-1] += I with I_c = ctx.phases[c-1]
//   Values:     current beta NodePhase[c-1]; phase and voltage i - j
#include "kernel/models/controlled_source.hpp"

namespace loxant {
namespace {

void admitance0(ElementModelObject* self, DoubleArray a0) noexcept {
    const ControlledSource& m = as<ControlledSource>(self);
    if (m.i != 0)
        a0[m.ind_ic] += m.gain;
    if (m.j != 0)
        a0[m.ind_jc] -= m.gain;
}

void rhs_current(ElementModelObject* self, DoubleArray b, const StepContext& ctx) noexcept {
    const ControlledSource& m = as<ControlledSource>(self);
    stamp_current(b, m.i, m.j, m.gain * ctx.phases[m.c - 1]);
}

void values(ElementModelObject* self, const StepContext&) noexcept {
    const ControlledSource& m = as<ControlledSource>(self);
    report_output(self, m.gain * self->book->arrays().node_phases[m.c - 1]);
}

const ElementOps kOps = {admitance0, no_admitance, no_admitance, rhs_current, values};

enum : int { kI, kJ, kC };

const ModelClass kClass = {
    "CCCSModel",
    "CCCSModel(i, j, c, eindex): current beta I_c from i through the source to j, I_c the "
    "branch unknown c; SetParameters([beta]).",
    sizeof(ControlledSource),
    &kOps,
    {{"i", LOXANT_CS_FIELD(i), false},
     {"j", LOXANT_CS_FIELD(j), false},
     {"c", LOXANT_CS_FIELD(c), true}},
    LOXANT_CS_FIELD(eindex),
    {{"ind_ic", LOXANT_CS_FIELD(ind_ic), kI, kC}, {"ind_jc", LOXANT_CS_FIELD(ind_jc), kJ, kC}},
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
