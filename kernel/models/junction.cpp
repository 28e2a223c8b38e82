// JunctionModel: resistively and capacitively shunted Josephson junction.
//
//   I = Ic sin(phi) + V / R + C dV,  phi = phi_i - phi_j, V = V_i - V_j, dV = dV_i - dV_j
//   Admitance1: g = coeff_dt / R + C coeff_ddt, stamped at ii, jj (+) and ij, ji (-)
//   Admitance2: g = Ic cos(phi) at the present phase estimate, same stamp
//   RHSCurrent: B[i-1] -= I, B[j-1] += I at the present estimates
//   Values:     current I, phase phi, voltage V from the node arrays; counts turns
//   A grounded terminal counts as 0 and its rows and columns are never touched.
#include "kernel/models/junction.hpp"

#include <cmath>

namespace loxant {
namespace {

struct Junction {
    ElementModelObject base;
    TwoTerminal t;
    double critical_current;
    double resistance;
    double capacitance;
};

double current(const Junction& m, double phase, double voltage, double dvoltage) noexcept {
    return m.critical_current * std::sin(phase) + voltage / m.resistance +
           m.capacitance * dvoltage;
}

void admitance1(ElementModelObject* self, DoubleArray a1, const StepContext& ctx) noexcept {
    const Junction& m = as<Junction>(self);
    stamp(a1, m.t, ctx.coeff_dt / m.resistance + m.capacitance * ctx.coeff_ddt);
}

void admitance2(ElementModelObject* self, DoubleArray a2, const StepContext& ctx) noexcept {
    const Junction& m = as<Junction>(self);
    stamp(a2, m.t, m.critical_current * std::cos(across(ctx.phases, m.t.i, m.t.j)));
}

void rhs_current(ElementModelObject* self, DoubleArray b, const StepContext& ctx) noexcept {
    const Junction& m = as<Junction>(self);
    const int32_t i = m.t.i, j = m.t.j;
    const double c = current(m, across(ctx.phases, i, j), across(ctx.voltages, i, j),
                             across(ctx.voltages_deriv, i, j));
    stamp_current(b, i, j, c);
}

void values(ElementModelObject* self, const StepContext& ctx) noexcept {
    const Junction& m = as<Junction>(self);
    const SharedPointers& p = self->arrays;
    const int32_t i = m.t.i, j = m.t.j;
    const double phase = across(p.node_phases, i, j);
    const double voltage = across(p.node_voltages, i, j);
    const double c = current(m, phase, voltage, across(p.node_dvoltages, i, j));
    report_junction(p, m.t.eindex, c, phase, voltage, ctx);
}

void set_defaults(ElementModelObject* self) {
    Junction& m = as<Junction>(self);
    m.critical_current = 0.0;
    m.resistance = 1.0;
    m.capacitance = 1.0;
}

void set_parameters(ElementModelObject* self, const Params& params) {
    Junction& m = as<Junction>(self);
    m.critical_current = params.real(0);
    m.resistance = params.real(1);
    m.capacitance = params.real(2);
}

const ElementOps kOps = {no_admitance0, admitance1, admitance2, rhs_current, values};

const ModelClass kClass = {
    "JunctionModel",
    "JunctionModel(i, j, eindex): RCSJ Josephson junction; SetParameters([Ic, R, C]).",
    sizeof(Junction),
    &kOps,
    two_terminals<Junction>(),
    two_terminal_eindex<Junction>(),
    two_terminal_positions<Junction>(),
    junction_arrays(),
    {{"critical_current", offsetof(Junction, critical_current)},
     {"resistance", offsetof(Junction, resistance)},
     {"capacitance", offsetof(Junction, capacitance)}},
    set_defaults,
    set_parameters,
    {},
    {},
};

const bool kRegistered = register_model_class(&kClass);

}  // namespace
}  // namespace loxant
