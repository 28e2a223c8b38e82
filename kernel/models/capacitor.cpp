// CapacitorModel: a linear capacitor between i and j.
//
//   I = C (dV_i - dV_j), with dV the estimate of the voltage derivative, whose
//   weight on the present phase is coeff_ddt; that weight changes with the
//   step, hence A1.
//   Admitance1: g = C coeff_ddt at ii, jj (+) and ij, ji (-)
//   RHSCurrent: B[i-1] -= I, B[j-1] += I with dV = ctx.voltages_deriv
//   Values:     current from NodeDVoltage; phase and voltage i - j
#include "kernel/models/element_model.hpp"

namespace loxant {
namespace {

struct Capacitor {
    ElementModelObject base;
    TwoTerminal t;
    double capacitance;
};

void admitance1(ElementModelObject* self, DoubleArray a1, const StepContext& ctx) noexcept {
    const Capacitor& m = as<Capacitor>(self);
    stamp(a1, m.t, m.capacitance * ctx.coeff_ddt);
}

void rhs_current(ElementModelObject* self, DoubleArray b, const StepContext& ctx) noexcept {
    const Capacitor& m = as<Capacitor>(self);
    stamp_current(b, m.t.i, m.t.j, across(ctx.voltages_deriv, m.t.i, m.t.j) * m.capacitance);
}

void values(ElementModelObject* self, const StepContext&) noexcept {
    const Capacitor& m = as<Capacitor>(self);
    const SharedPointers& p = self->book->arrays;
    // With i grounded the current is -(dV_j C): -0.0 where dV_j is 0.
    p.elem_currents[m.t.eindex] = m.t.i == 0
                                      ? -(across(p.node_dvoltages, m.t.j, 0) * m.capacitance)
                                      : m.capacitance * across(p.node_dvoltages, m.t.i, m.t.j);
    read_out(p, m.t.i, m.t.j, m.t.eindex);
}

void set_defaults(ElementModelObject* self) {
    as<Capacitor>(self).capacitance = 1.0;
}

void set_parameters(ElementModelObject* self, const Params& params) {
    as<Capacitor>(self).capacitance = params.real(0);
}

void linear_branch(const ElementModelObject* self, LinearBranch& out) noexcept {
    const Capacitor& m = *reinterpret_cast<const Capacitor*>(self);
    out = {m.t.i, m.t.j, BranchQuantity::voltage_deriv, m.capacitance};
}

const ElementOps kOps = {no_admitance0, admitance1, no_admitance, rhs_current,  values,
                         false,         nullptr,    nullptr,      linear_branch};

const ModelClass kClass = {
    "CapacitorModel",
    "CapacitorModel(i, j, eindex): linear capacitor; SetParameters([C]).",
    sizeof(Capacitor),
    &kOps,
    two_terminals<Capacitor>(),
    two_terminal_eindex<Capacitor>(),
    two_terminal_positions<Capacitor>(),
    {NodePhase, NodeVoltage, NodeDVoltage, ElementPhase, ElementVoltage, ElementCurrent},
    {{"capacitance", offsetof(Capacitor, capacitance)}},
    set_defaults,
    set_parameters,
    {},
    {},
};

const bool kRegistered = register_model_class(&kClass);

} // namespace
} // namespace loxant
