// JunctionRSJNModel: Josephson junction with a nonlinear resistive branch that
// conducts almost nothing below the knee voltage V0 and tends to 1/R above it.
//
//   I = Ic sin(phi) + G(v) v + C dV,  x = (v / V0)^p,  G(v) = x / ((x + 1) R)
//   Admitance1: g = C coeff_ddt at ii, jj (+) and ij, ji (-)
//   Admitance2: g = Ic cos(phi) + coeff_dt x (p + 1 + x) / (R (x + 1)^2), same stamp;
//               the second term is coeff_dt d(G(v) v)/dv, which moves here from A1
//               because it depends on the iterate
//   RHSCurrent: B[i-1] -= I, B[j-1] += I at the present estimates
//   Values:     current I, phase phi, voltage v from the node arrays; counts turns
//   With i grounded the law is evaluated at node j's own phase and voltage (a
//   fractional p is not odd in v) and the reported values are negated.
#include "kernel/models/junction.hpp"

#include <cmath>

namespace loxant {
namespace {

struct RsjnJunction {
    ElementModelObject base;
    TwoTerminal t;
    mutable ChordMemory chord;
    double critical_current;
    double resistance;
    double capacitance;
    double knee_voltage;
    double knee_exponent;

    double knee_ratio(double voltage) const noexcept {
        return std::pow(voltage / knee_voltage, knee_exponent);
    }
    double current(const JunctionState& s) const noexcept {
        const double x = knee_ratio(s.voltage);
        return critical_current * std::sin(s.phase) + x * s.voltage / ((x + 1) * resistance) +
               capacitance * s.dvoltage;
    }
    double step_admitance(const StepContext& ctx) const noexcept {
        return capacitance * ctx.coeff_ddt;
    }
    double phase_slope(const JunctionState& s, const StepContext& ctx) const noexcept {
        const double x = knee_ratio(s.voltage);
        return critical_current * std::cos(s.phase) +
               (knee_exponent + 1 + x) * (ctx.coeff_dt * x) / (resistance * (x + 1) * (x + 1));
    }
    double shown_phase(double phase) const noexcept { return phase; }
};

void set_defaults(ElementModelObject* self) {
    RsjnJunction& m = as<RsjnJunction>(self);
    set_junction_defaults(m);
    m.knee_voltage = 4.3;
    m.knee_exponent = 10.0;
}

// The capacitance comes last in the parameter list.
void set_parameters(ElementModelObject* self, const Params& params) {
    RsjnJunction& m = as<RsjnJunction>(self);
    m.critical_current = params.real(0);
    m.resistance = params.real(1);
    m.knee_voltage = params.real(2);
    m.knee_exponent = params.real(3);
    m.capacitance = params.real(4);
}

const ModelClass kClass = junction_class<RsjnJunction>(
    "JunctionRSJNModel",
    "JunctionRSJNModel(i, j, eindex): Josephson junction with a nonlinear resistive branch; "
    "SetParameters([Ic, R, V0, p, C]).",
    {{"knee_voltage", offsetof(RsjnJunction, knee_voltage)},
     {"knee_exponent", offsetof(RsjnJunction, knee_exponent)}},
    set_defaults, set_parameters);

const bool kRegistered = register_model_class(&kClass);

} // namespace
} // namespace loxant
