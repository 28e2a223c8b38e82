// ResistorModel: a linear resistor between i and j.
//
//   I = (V_i - V_j) / R, with V the voltage estimate, whose weight on the
//   present phase is coeff_dt; that weight changes with the step, hence A1.
//   Admitance1: g = coeff_dt / R at ii, jj (+) and ij, ji (-)
//   RHSCurrent: B[i-1] -= I, B[j-1] += I with V = ctx.voltages
//   Values:     current (V_i - V_j) / R from NodeVoltage; phase and voltage i - j
//   R = 0 is accepted: the terms become infinities or NaN.
#include "kernel/models/element_model.hpp"

namespace loxant {
namespace {

struct Resistor {
    ElementModelObject base;
    TwoTerminal t;
    double resistance;
};

void admitance1(ElementModelObject* self, DoubleArray a1, const StepContext& ctx) noexcept {
    const Resistor& m = as<Resistor>(self);
    stamp(a1, m.t, ctx.coeff_dt / m.resistance);
}

void rhs_current(ElementModelObject* self, DoubleArray b, const StepContext& ctx) noexcept {
    const Resistor& m = as<Resistor>(self);
    stamp_current(b, m.t.i, m.t.j, across(ctx.voltages, m.t.i, m.t.j) / m.resistance);
}

void values(ElementModelObject* self, const StepContext&) noexcept {
    const Resistor& m = as<Resistor>(self);
    const SharedPointers& p = self->book->arrays;
    p.elem_currents[m.t.eindex] = across(p.node_voltages, m.t.i, m.t.j) / m.resistance;
    read_out(p, m.t.i, m.t.j, m.t.eindex);
}

void set_defaults(ElementModelObject* self) {
    as<Resistor>(self).resistance = 1.0;
}

void set_parameters(ElementModelObject* self, const Params& params) {
    as<Resistor>(self).resistance = params.real(0);
}

void linear_branch(const ElementModelObject* self, LinearBranch& out) noexcept {
    const Resistor& m = *reinterpret_cast<const Resistor*>(self);
    out = {m.t.i, m.t.j, BranchQuantity::voltage, 1.0 / m.resistance};
}

const ElementOps kOps = {no_admitance0, admitance1, no_admitance, rhs_current,  values,
                         false,         nullptr,    nullptr,      linear_branch};

const ModelClass kClass = {
    "ResistorModel",
    "ResistorModel(i, j, eindex): linear resistor; SetParameters([R]).",
    sizeof(Resistor),
    &kOps,
    two_terminals<Resistor>(),
    two_terminal_eindex<Resistor>(),
    two_terminal_positions<Resistor>(),
    {NodePhase, NodeVoltage, ElementPhase, ElementVoltage, ElementCurrent},
    {{"resistance", offsetof(Resistor, resistance)}},
    set_defaults,
    set_parameters,
    {},
    {},
};

const bool kRegistered = register_model_class(&kClass);

} // namespace
} // namespace loxant
