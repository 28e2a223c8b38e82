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
    // sin of the phase Admitance2 last saw: within one UpdateMatrix the right-hand
    // side then needs no second evaluation (the same phase gives the same value).
    mutable double seen_phase;
    mutable double seen_sin;

    double current(const JunctionState& s) const noexcept {
        const double sine = s.phase == seen_phase ? seen_sin : std::sin(s.phase);
        return critical_current * sine + s.voltage / resistance + capacitance * s.dvoltage;
    }
    double step_admitance(const StepContext& ctx) const noexcept {
        return shunt_admitance(*this, ctx);
    }
    double phase_slope(const JunctionState& s, const StepContext&) const noexcept {
        double sine, cosine;
        ::sincos(s.phase, &sine, &cosine);
        seen_phase = s.phase;
        seen_sin = sine;
        return critical_current * cosine;
    }
    double shown_phase(double phase) const noexcept { return phase; }
};

void set_defaults(ElementModelObject* self) {
    set_junction_defaults(as<Junction>(self));
}

void set_parameters(ElementModelObject* self, const Params& params) {
    Junction& m = as<Junction>(self);
    m.critical_current = params.real(0);
    m.resistance = params.real(1);
    m.capacitance = params.real(2);
}

const ModelClass kClass = junction_class<Junction>(
    "JunctionModel",
    "JunctionModel(i, j, eindex): RCSJ Josephson junction; SetParameters([Ic, R, C]).", {},
    set_defaults, set_parameters);

const bool kRegistered = register_model_class(&kClass);

} // namespace
} // namespace loxant
