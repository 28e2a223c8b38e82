// JunctionRSJPHModel: shunted Josephson junction whose current-phase relation
// is shifted by a constant phase theta.
//
//   I = Ic sin(phi + theta) + V / R + C dV,  phi = phi_i - phi_j
//   Admitance1: g = coeff_dt / R + C coeff_ddt at ii, jj (+) and ij, ji (-)
//   Admitance2: g = Ic cos(phi + theta) at the present phase estimate, same stamp
//   RHSCurrent: B[i-1] -= I, B[j-1] += I at the present estimates
//   Values:     current I, phase phi + theta, voltage V; counts turns of phi + theta
//   With i grounded the shift applies to node j's own phase, phi_j + theta, and
//   the reported current, phase and voltage are negated: seen from its live
//   node the junction is the same whichever terminal is grounded.
//   theta = 0 is JunctionModel.
#include "kernel/models/junction.hpp"

#include <cmath>

namespace loxant {
namespace {

struct RsjphJunction {
    ElementModelObject base;
    TwoTerminal t;
    mutable ChordMemory chord;
    double critical_current;
    double resistance;
    double capacitance;
    double phase_shift;

    double current(const JunctionState& s) const noexcept {
        return critical_current * std::sin(s.phase + phase_shift) + s.voltage / resistance +
               capacitance * s.dvoltage;
    }
    double step_admitance(const StepContext& ctx) const noexcept {
        return shunt_admitance(*this, ctx);
    }
    double phase_slope(const JunctionState& s, const StepContext&) const noexcept {
        return critical_current * std::cos(s.phase + phase_shift);
    }
    double shown_phase(double phase) const noexcept { return phase + phase_shift; }
};

void set_defaults(ElementModelObject* self) {
    RsjphJunction& m = as<RsjphJunction>(self);
    set_junction_defaults(m);
    m.phase_shift = 0.0;
}

void set_parameters(ElementModelObject* self, const Params& params) {
    RsjphJunction& m = as<RsjphJunction>(self);
    m.critical_current = params.real(0);
    m.resistance = params.real(1);
    m.capacitance = params.real(2);
    m.phase_shift = params.real(3);
}

const ModelClass kClass = junction_class<RsjphJunction>(
    "JunctionRSJPHModel",
    "JunctionRSJPHModel(i, j, eindex): Josephson junction with a phase-shifted current-phase "
    "relation; SetParameters([Ic, R, C, theta]).",
    {{"phase_shift", offsetof(RsjphJunction, phase_shift)}}, set_defaults, set_parameters);

const bool kRegistered = register_model_class(&kClass);

} // namespace
} // namespace loxant
