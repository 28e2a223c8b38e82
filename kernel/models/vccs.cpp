// VCCSModel: a current gm (V_k - V_l) through the source from i to j,
// drawn out of i and into j; V = dphi/dt, whose weight on the present phase is
// coeff_dt, hence A1.
//   Admitance1: gm coeff_dt at ik, jl (+) and il, jk (-); ground terms left out
//   RHSCurrent: B[i-1] -= I, B[j-1] += I with V = ctx.voltages
//   Values:     current I from NodeVoltage; phase and voltage i - j
#include "kernel/models/controlled_source.hpp"

namespace loxant {
namespace {

void stamp_at(DoubleArray a, int32_t row, int32_t col, int32_t position, double g) noexcept {
    if (row != 0 && col != 0)
        a[position] += g;
}

void admitance1(ElementModelObject* self, DoubleArray a1, const StepContext& ctx) noexcept {
    const ControlledSource& m = as<ControlledSource>(self);
    const double g = m.gain * ctx.coeff_dt;
    stamp_at(a1, m.i, m.k, m.ind_ik, g);
    stamp_at(a1, m.i, m.l, m.ind_il, -g);
    stamp_at(a1, m.j, m.k, m.ind_jk, -g);
    stamp_at(a1, m.j, m.l, m.ind_jl, g);
}

void rhs_current(ElementModelObject* self, DoubleArray b, const StepContext& ctx) noexcept {
    const ControlledSource& m = as<ControlledSource>(self);
    stamp_current(b, m.i, m.j, m.gain * across(ctx.voltages, m.k, m.l));
}

void values(ElementModelObject* self, const StepContext&) noexcept {
    const ControlledSource& m = as<ControlledSource>(self);
    report_output(self, m.gain * across(self->book->arrays().node_voltages, m.k, m.l));
}

const ElementOps kOps = {no_admitance0, admitance1, no_admitance, rhs_current, values};

enum : int { kI, kJ, kK, kL };

const ModelClass kClass = {
    "VCCSModel",
    "VCCSModel(i, j, k, l, eindex): current gm (V_k - V_l) from i through the source to j; "
    "SetParameters([gm]).",
    sizeof(ControlledSource),
    &kOps,
    {{"i", LOXANT_CS_FIELD(i), false},
     {"j", LOXANT_CS_FIELD(j), false},
     {"k", LOXANT_CS_FIELD(k), false},
     {"l", LOXANT_CS_FIELD(l), false}},
    LOXANT_CS_FIELD(eindex),
    {{"ind_ik", LOXANT_CS_FIELD(ind_ik), kI, kK},
     {"ind_il", LOXANT_CS_FIELD(ind_il), kI, kL},
     {"ind_jk", LOXANT_CS_FIELD(ind_jk), kJ, kK},
     {"ind_jl", LOXANT_CS_FIELD(ind_jl), kJ, kL}},
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
