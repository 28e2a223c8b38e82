// JunctionGapModel: Josephson junction whose quasiparticle branch is piecewise
// linear in the junction voltage, with a steep rise at the gap voltage.
//
//   I = Is(phi) + Iqp(v) + C dV,  Iqp odd in v, for |v|:
//     below V1 = Vg - dV/2:   |v| / R0                          (subgap)
//     V1 .. V2 = Vg + dV/2:   V1 / R0 + Gg (|v| - V1),  Gg = |Ic| / (icfct dV)
//     from V2 on:             |v| / Rn, through the origin         (normal)
//   Is = Ic sin(phi) by default; SetSupercurrent makes it the law of
//   junction_supercurrent.hpp (harmonics, phase offset, transparency).
//   The gap rise joins the subgap piece at V1; the normal piece does not join
//   the rise at V2 unless Rn = V2 / (V1 / R0 + |Ic| / icfct).  Each step solves
//   with the straight line of one piece, held for the whole step: the piece of
//   the voltage last accepted, chosen in Values.  Newton's method thus sees a
//   smooth law and cannot cycle between pieces; a step that ends beyond an edge
//   takes the new piece the next step.
//   Admitance1: g = C coeff_ddt at ii, jj (+) and ij, ji (-)
//   Admitance2: g = dIs/dphi (Ic cos(phi)) + coeff_dt G, G the slope of the held piece
//   RHSCurrent: B[i-1] -= I, B[j-1] += I at the present estimates, held piece
//   Values:     current (held piece), phase, voltage; counts turns; then holds the
//               piece of the accepted voltage for the next step
//   terms_changed: whether the held piece changed since it was last asked
//   advance:    holds the piece of the accepted voltage, reporting nothing;
//               RHSCurrent does it, with terms_changed, for a loop that defers
//               it to the next step's first evaluation
//   With i grounded the law is evaluated from node j to ground and the reported
//   values are negated (the quasiparticle law is odd; a supercurrent that is not,
//   with a phase offset, is that of the live node, as for JunctionModel).
#include "kernel/models/junction.hpp"
#include "kernel/models/junction_supercurrent.hpp"

#include <cmath>

namespace loxant {
namespace {

struct GapJunction {
    ElementModelObject base;
    TwoTerminal t;
    mutable ChordMemory chord;
    double critical_current;
    double resistance; // R0, subgap
    double capacitance;
    double normal_resistance;
    double gap_voltage;
    double gap_width;
    double gap_factor;          // icfct: Ic over the current rise across the gap
    mutable int32_t piece;      // held piece: 0 subgap, +-1 gap rise, +-2 normal; sign of v
    mutable int32_t told_piece; // the held piece at the last terms_changed
    Supercurrent law;

    double lower_edge() const noexcept { return gap_voltage - 0.5 * gap_width; }
    double upper_edge() const noexcept { return gap_voltage + 0.5 * gap_width; }
    double gap_rise() const noexcept { return std::fabs(critical_current) / gap_factor; }

    double slope(int32_t k) const noexcept {
        switch (k < 0 ? -k : k) {
        case 0:
            return 1.0 / resistance;
        case 1:
            return gap_rise() / gap_width;
        default:
            return 1.0 / normal_resistance;
        }
    }
    // Current of piece k's line at v = 0; the line is odd-mirrored for k < 0.
    // Only the gap rise has one: the subgap and normal lines pass the origin.
    double intercept(int32_t k) const noexcept {
        if (k != 1 && k != -1)
            return 0.0;
        const double v1 = lower_edge();
        const double at_zero = v1 / resistance - slope(1) * v1;
        return k < 0 ? -at_zero : at_zero;
    }
    int32_t piece_of(double v) const noexcept {
        const double magnitude = std::fabs(v);
        const int32_t a = magnitude < lower_edge() ? 0 : magnitude < upper_edge() ? 1 : 2;
        return v < 0 ? -a : a;
    }
    double quasiparticle(double v) const noexcept { return slope(piece) * v + intercept(piece); }

    static constexpr bool kSineChord = true;
    double current(const JunctionState& s) const noexcept {
        return current_from(s, critical_current * law.value(s.phase));
    }
    double current_from(const JunctionState& s, double supercurrent) const noexcept {
        return supercurrent + quasiparticle(s.voltage) + capacitance * s.dvoltage;
    }
    double step_admitance(const StepContext& ctx) const noexcept {
        return capacitance * ctx.coeff_ddt;
    }
    double phase_slope(const JunctionState& s, const StepContext& ctx) const noexcept {
        return critical_current * law.slope(s.phase) + ctx.coeff_dt * slope(piece);
    }
    double shown_phase(double phase) const noexcept { return phase; }
    void forget() noexcept { keep_sine_amplitude(*this); }

    // Holds the piece of the voltage across the junction in `voltages`.
    void hold_piece(const LiveSide& s, const double* voltages) const noexcept {
        piece = piece_of(across(voltages, s.from, s.to));
    }
    // Whether the held piece changed since the last call.
    bool piece_changed() const noexcept {
        const bool changed = piece != told_piece;
        told_piece = piece;
        return changed;
    }
    // advance and terms_changed, done by RHSCurrent for a loop that defers them
    void take_accepted(const LiveSide& s, const StepContext& ctx) const noexcept {
        hold_piece(s, ctx.voltages_prev);
        if (piece_changed())
            *ctx.terms_jumped = true;
    }
};

using Ops = JunctionOps<GapJunction>;

void values(ElementModelObject* self, const StepContext& ctx) noexcept {
    Ops::values(self, ctx);
    const GapJunction& m = as<GapJunction>(self);
    m.hold_piece(live_side(m.t), self->book->arrays().node_voltages);
}

// The slope of the held piece is all of Admitance2 that jumps: a new piece is
// a new matrix.
bool terms_changed(ElementModelObject* self) noexcept {
    return as<GapJunction>(self).piece_changed();
}

// Values without the report: only the piece of the accepted voltage.
void advance(ElementModelObject* self, const StepContext& ctx) noexcept {
    const GapJunction& m = as<GapJunction>(self);
    m.hold_piece(live_side(m.t), ctx.voltages);
}

const ElementOps kOps = {no_admitance0,
                         Ops::admitance1,
                         Ops::admitance2,
                         Ops::rhs_current,
                         values,
                         true,
                         terms_changed,
                         advance,
                         nullptr,
                         nullptr,
                         Ops::report_phase,
                         Ops::rhs_change,
                         Ops::rhs_current_each,
                         Ops::rhs_change_each,
                         true};

void set_defaults(ElementModelObject* self) {
    GapJunction& m = as<GapJunction>(self);
    set_junction_defaults(m);
    m.normal_resistance = 1.0;
    m.gap_voltage = 1.0;
    m.gap_width = 0.1;
    m.gap_factor = M_PI / 4;
    m.piece = 0;
    m.told_piece = 0;
    m.law.reset();
    m.forget();
}

// The held piece is kept: new values reach the next step through the same piece.
void set_parameters(ElementModelObject* self, const Params& params) {
    GapJunction& m = as<GapJunction>(self);
    m.critical_current = params.real(0);
    keep_sine_amplitude(m);
    m.resistance = params.real(1);
    m.normal_resistance = params.real(2);
    m.capacitance = params.real(3);
    m.gap_voltage = params.real(4);
    m.gap_width = params.real(5);
    m.gap_factor = params.real(6);
}

PyObject* get_piece(PyObject* obj, void*) {
    return PyLong_FromLong(as<GapJunction>(reinterpret_cast<ElementModelObject*>(obj)).piece);
}

PyGetSetDef kPiece = {"piece", get_piece, nullptr,
                      "Piece of the quasiparticle branch held for the next step: 0 subgap, "
                      "1 gap rise, 2 normal, negative for a negative voltage.",
                      nullptr};

std::vector<DoubleField> gap_fields() {
    std::vector<DoubleField> fields = {
        {"normal_resistance", offsetof(GapJunction, normal_resistance)},
        {"gap_voltage", offsetof(GapJunction, gap_voltage)},
        {"gap_width", offsetof(GapJunction, gap_width)},
        {"gap_factor", offsetof(GapJunction, gap_factor)}};
    for (const DoubleField& field : supercurrent_fields<GapJunction>())
        fields.push_back(field);
    return fields;
}

ModelClass gap_class() {
    ModelClass cls = junction_class<GapJunction>(
        "JunctionGapModel",
        "JunctionGapModel(i, j, eindex): Josephson junction with a piecewise-linear "
        "quasiparticle branch; SetParameters([Ic, R0, Rn, C, Vg, dV, icfct]), "
        "SetSupercurrent([phi0, D, b, a1, ...]).",
        gap_fields(), set_defaults, set_parameters);
    cls.ops = &kOps;
    cls.extra_methods = {SupercurrentMethods<GapJunction>::method()};
    cls.extra_getset = {kPiece, SupercurrentMethods<GapJunction>::harmonics_attribute()};
    return cls;
}

const ModelClass kClass = gap_class();

const bool kRegistered = register_model_class(&kClass);

} // namespace
} // namespace loxant
