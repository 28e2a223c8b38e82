// JunctionModel: resistively and capacitively shunted Josephson junction.
//
//   I = Is(phi) + V / R + C dV,  phi = phi_i - phi_j, V = V_i - V_j, dV = dV_i - dV_j
//   Is = Ic sin(phi) by default; SetSupercurrent makes it the law of
//        junction_supercurrent.hpp (harmonics, phase offset, transparency)
//   Admitance1: g = coeff_dt / R + C coeff_ddt, stamped at ii, jj (+) and ij, ji (-)
//   Admitance2: g = dIs/dphi (Ic cos(phi)) at the present phase estimate, same stamp
//   RHSCurrent: B[i-1] -= I, B[j-1] += I at the present estimates
//   Values:     current I, phase phi, voltage V from the node arrays; counts turns
//   A grounded terminal counts as 0 and its rows and columns are never touched;
//   with i grounded the law is evaluated from node j to ground.
#include "kernel/models/junction.hpp"
#include "kernel/models/junction_supercurrent.hpp"

#include <cmath>
#include <limits>

namespace loxant {
namespace {

struct Junction {
    ElementModelObject base;
    TwoTerminal t;
    mutable ChordMemory chord;
    double critical_current;
    double resistance;
    double capacitance;
    Supercurrent law;
    // Supercurrent per unit Ic at the phase Admitance2 last saw: within one
    // UpdateMatrix the right-hand side then needs no second evaluation (the
    // same phase gives the same value).  NaN: nothing seen.
    mutable double seen_phase;
    mutable double seen_value;

    static constexpr bool kSineChord = true;
    double current(const JunctionState& s) const noexcept {
        const double value = s.phase == seen_phase ? seen_value : law.value(s.phase);
        return current_from(s, critical_current * value);
    }
    double current_from(const JunctionState& s, double supercurrent) const noexcept {
        return supercurrent + s.voltage / resistance + capacitance * s.dvoltage;
    }
    double step_admitance(const StepContext& ctx) const noexcept {
        return shunt_admitance(*this, ctx);
    }
    double phase_slope(const JunctionState& s, const StepContext&) const noexcept {
        const Supercurrent::Value h = law.at(s.phase);
        seen_phase = s.phase;
        seen_value = h.value;
        return critical_current * h.slope;
    }
    double shown_phase(double phase) const noexcept { return phase; }
    void forget() noexcept {
        seen_phase = std::numeric_limits<double>::quiet_NaN();
        keep_sine_amplitude(*this);
    }
};

using Methods = SupercurrentMethods<Junction>;

void set_defaults(ElementModelObject* self) {
    Junction& m = as<Junction>(self);
    set_junction_defaults(m);
    m.law.reset();
    m.forget();
}

void set_parameters(ElementModelObject* self, const Params& params) {
    Junction& m = as<Junction>(self);
    m.critical_current = params.real(0);
    keep_sine_amplitude(m);
    m.resistance = params.real(1);
    m.capacitance = params.real(2);
}

ModelClass rcsj_class() {
    ModelClass cls = junction_class<Junction>(
        "JunctionModel",
        "JunctionModel(i, j, eindex): RCSJ Josephson junction; SetParameters([Ic, R, C]), "
        "SetSupercurrent([phi0, D, b, a1, ...]).",
        supercurrent_fields<Junction>(), set_defaults, set_parameters);
    cls.extra_methods = {Methods::method()};
    cls.extra_getset = {Methods::harmonics_attribute()};
    return cls;
}

const ModelClass kClass = rcsj_class();

const bool kRegistered = register_model_class(&kClass);

} // namespace
} // namespace loxant
