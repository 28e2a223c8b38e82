// What the junction classes share: ground handling, the four operations, array
// binding, reporting and the class description.  A junction class supplies its
// fields and its current law; everything else is written once here.
//
// A junction model struct is standard-layout and has the members
//   ElementModelObject base;   TwoTerminal t;   mutable ChordMemory chord;
//   double critical_current, resistance, capacitance;   (then its own parameters)
// and the const noexcept member functions
//   current(s)           the current leaving the live terminal for the state s
//   step_admitance(ctx)  g stamped into A1 (terms that depend on the step only)
//   phase_slope(s, ctx)  g stamped into A2, d(current)/d(phase) minus what A1 holds
//   shown_phase(phase)   the junction phase as reported in the element arrays
// Besides the four operations it has report_phase (Values without the current)
// and rhs_change (the residual a chord correction leaves, from chord).
#pragma once

#include "kernel/models/element_model.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <type_traits>

namespace loxant {

// The nine lxglobals arrays every junction binds, in binding order.
inline std::vector<SharedArray> junction_arrays() {
    return {NodePhase,      NodeVoltage, NodeDVoltage, ElementPhase, ElementVoltage,
            ElementCurrent, ElementN,    ElementInc,   ElementDec};
}

// A junction evaluated from a live terminal: one from ground to node k is
// evaluated as one from k to ground, since a law that is not odd in phase and
// voltage (a shifted sine, a fractional power) must still give the current
// leaving k the same way whichever terminal is grounded.  Only what is
// reported follows the terminal order, through `sign`.
struct LiveSide {
    int32_t from; // never ground
    int32_t to;
    double sign; // -1 when the junction's i is ground
};

inline LiveSide live_side(const TwoTerminal& t) noexcept {
    return t.i == 0 ? LiveSide{t.j, 0, -1.0} : LiveSide{t.i, t.j, 1.0};
}

// Phase, voltage and voltage derivative across the junction, from `from` to `to`.
struct JunctionState {
    double phase;
    double voltage;
    double dvoltage;
};

inline JunctionState state_at(const LiveSide& s, const double* phases, const double* voltages,
                              const double* dvoltages) noexcept {
    return {across(phases, s.from, s.to), across(voltages, s.from, s.to),
            across(dvoltages, s.from, s.to)};
}

inline JunctionState estimate(const LiveSide& s, const StepContext& ctx) noexcept {
    JunctionState state = state_at(s, ctx.phases, ctx.voltages, ctx.voltages_deriv);
    if (ctx.junction_history_held)
        state.dvoltage = ctx.coeff_dt * state.voltage;
    return state;
}

// The g of a linear shunt: V / R + C dV differentiated with respect to the phase.
template <class Model> double shunt_admitance(const Model& m, const StepContext& ctx) noexcept {
    return ctx.coeff_dt / m.resistance + m.capacitance * ctx.coeff_ddt;
}

// Writes current, phase and voltage at eindex and counts the phase's turns.
inline void report_junction(const SharedPointers& p, int32_t e, double current, double phase,
                            double voltage, const StepContext& ctx) noexcept {
    p.elem_currents[e] = current;
    p.elem_phases[e] = phase;
    p.elem_voltages[e] = voltage;
    count_turns(p, e, ctx);
}

// What a junction's last operations gave, which the change of its current
// under a correction starts from (rhs_change): the current of its last
// RHSCurrent and the g of its last Admitance1 and Admitance2, the share of the
// kept matrix a chord iteration corrects with.
struct ChordMemory {
    double current;
    double step_g;
    double slope_g;
    // Of a junction whose supercurrent is Ic a sin(phi - phi0) (sine_chord):
    // phi - phi0 at its last estimates, its sine and cosine, and the
    // supercurrent's own share of slope_g.
    double argument;
    double sine;
    double cosine;
    double supercurrent_g;
    // Ic a of that law, beside what a correction reads; NaN where the law is
    // another (see keep_sine_amplitude).
    double sine_amplitude;

    bool plain_sine() const noexcept { return !std::isnan(sine_amplitude); }
};

// A junction model whose supercurrent may be the plain sine of its `law`
// (a Supercurrent) declares `static constexpr bool kSineChord = true` and
//   current_from(s, supercurrent)   the current with the supercurrent given
// Its residual after a correction is then the supercurrent's change alone:
// the rest of its current is linear in the phase within a step (the held
// piece of a piecewise branch included), so the kept matrix holds it exactly.
// A junction model that holds a piece may declare
//   take_accepted(s, ctx)   what its advance and terms_changed do, from
//                           ctx.voltages_prev, setting *ctx.terms_jumped on a jump
// and RHSCurrent then calls it when ctx.take_accepted.
template <class Model, class = void> struct takes_accepted : std::false_type {};
template <class Model>
struct takes_accepted<Model,
                      std::void_t<decltype(std::declval<const Model&>().take_accepted(
                          std::declval<const LiveSide&>(), std::declval<const StepContext&>()))>>
    : std::true_type {};

template <class Model, class = void> struct sine_chord : std::false_type {};
template <class Model>
struct sine_chord<Model, std::void_t<decltype(Model::kSineChord)>>
    : std::bool_constant<Model::kSineChord> {};

// Keeps chord.sine_amplitude with the model's Ic and law: call after either
// changes.
template <class Model> void keep_sine_amplitude(Model& m) noexcept {
    m.chord.sine_amplitude = m.law.plain() ? m.critical_current * m.law.amplitude[0]
                                           : std::numeric_limits<double>::quiet_NaN();
}

// The largest turn taken by the series below.
inline constexpr double kSmallTurn = 1.0 / 32.0;

// sin d and cos d - 1 by their series (the first terms left out are below
// 1e-19 where |d| <= kSmallTurn).
inline void turn_series(double d, double& sine, double& cosine_less_one) noexcept {
    const double d2 = d * d;
    sine = d * (1.0 - d2 * (1.0 / 6.0) * (1.0 - d2 * (1.0 / 20.0) * (1.0 - d2 * (1.0 / 42.0))));
    cosine_less_one =
        -0.5 * d2 * (1.0 - d2 * (1.0 / 12.0) * (1.0 - d2 * (1.0 / 30.0) * (1.0 - d2 / 56.0)));
}

inline bool series_holds(double d) noexcept {
    return std::fabs(d) <= kSmallTurn;
}

// sin d and cos d - 1 for a turn d: their series where it holds, the
// functions elsewhere.
inline void small_turn(double d, double& sine, double& cosine_less_one) noexcept {
    if (series_holds(d)) {
        turn_series(d, sine, cosine_less_one);
        return;
    }
    const double half = std::sin(0.5 * d);
    sine = std::sin(d);
    cosine_less_one = -2.0 * half * half;
}

// Turns the kept sine and cosine on by a turn of the given sine and cosine
// less one, through the angle sum; returns the sine's change.
inline double turn_by(ChordMemory& c, double sine_d, double cosine_less_one) noexcept {
    const double sine_change = c.sine * cosine_less_one + c.cosine * sine_d;
    c.cosine += c.cosine * cosine_less_one - c.sine * sine_d;
    c.sine += sine_change;
    return sine_change;
}

inline double turn(ChordMemory& c, double d) noexcept {
    double sine_d, cosine_less_one;
    small_turn(d, sine_d, cosine_less_one);
    return turn_by(c, sine_d, cosine_less_one);
}

// The loops over a run of like junctions take the turns' series in a pass of
// their own, this many junctions at a time: a pass of arithmetic alone, which
// the compiler vectorises and the processor overlaps from junction to
// junction.  Each junction's arithmetic is the same as alone.
inline constexpr size_t kTurnChunk = 64;

struct TurnChunk {
    double d[kTurnChunk];
    double sine[kTurnChunk];
    double cosine_less_one[kTurnChunk];

    void take_series(size_t n) noexcept {
        for (size_t k = 0; k < n; ++k)
            turn_series(d[k], sine[k], cosine_less_one[k]);
    }
};

template <class Model> struct JunctionOps {
    static void admitance1(ElementModelObject* self, DoubleArray a1,
                           const StepContext& ctx) noexcept {
        const Model& m = as<Model>(self);
        m.chord.step_g = m.step_admitance(ctx);
        stamp(a1, m.t, m.chord.step_g);
    }

    static void admitance2(ElementModelObject* self, DoubleArray a2,
                           const StepContext& ctx) noexcept {
        const Model& m = as<Model>(self);
        const JunctionState state = estimate(live_side(m.t), ctx);
        m.chord.slope_g = m.phase_slope(state, ctx);
        if constexpr (sine_chord<Model>::value)
            m.chord.supercurrent_g = m.critical_current * m.law.slope(state.phase);
        stamp(a2, m.t, m.chord.slope_g);
    }

    // Inlined into the loops over a run of like models.
    [[gnu::always_inline]] static void rhs_current(ElementModelObject* self, DoubleArray b,
                                                   const StepContext& ctx) noexcept {
        const Model& m = as<Model>(self);
        take_if_asked(m, ctx);
        evaluate(m, b, ctx);
    }

    // What a loop deferred from the last acceptance, where it asks for it.
    static void take_if_asked(const Model& m, const StepContext& ctx) noexcept {
        if constexpr (takes_accepted<Model>::value) {
            if (ctx.take_accepted)
                m.take_accepted(live_side(m.t), ctx);
        }
    }

    // RHSCurrent without take_if_asked.
    [[gnu::always_inline]] static void evaluate(const Model& m, DoubleArray b,
                                                const StepContext& ctx) noexcept {
        const LiveSide s = live_side(m.t);
        if constexpr (sine_chord<Model>::value) {
            if (m.chord.plain_sine()) {
                const double argument = argument_now(m, ctx);
                const double d = argument - m.chord.argument;
                if (ctx.turn_sine && series_holds(d))
                    turn(m.chord, d);
                else
                    ::sincos(argument, &m.chord.sine, &m.chord.cosine);
                stamp_sine_current(m, b, ctx);
                return;
            }
        }
        m.chord.current = m.current(estimate(s, ctx));
        stamp_current(b, s.from, s.to, m.chord.current);
    }

    // The residual left at the corrected estimates, I(x + d) - I(x) - g d with
    // g that of the kept matrix, as a current into `b`; the next change starts
    // from I(x + d).
    [[gnu::always_inline]] static void rhs_change(ElementModelObject* self, DoubleArray b,
                                                  const double* correction,
                                                  const StepContext& ctx) noexcept {
        const Model& m = as<Model>(self);
        const LiveSide s = live_side(m.t);
        if constexpr (sine_chord<Model>::value) {
            if (m.chord.plain_sine()) {
                sine_change(m, s, b, correction);
                return;
            }
        }
        const double now = m.current(estimate(s, ctx));
        const double kept = (m.chord.step_g + m.chord.slope_g) * across(correction, s.from, s.to);
        stamp_current(b, s.from, s.to, (now - m.chord.current) - kept);
        m.chord.current = now;
    }

    // rhs_change of the plain sine: Ic a (sin(x + d) - sin x) - g d, the change
    // of the sine taken through the angle sum, so that no large currents
    // cancel; sine and cosine turn on by d for a further correction.
    static void sine_change(const Model& m, const LiveSide& s, DoubleArray b,
                            const double* correction) noexcept {
        const double d = across(correction, s.from, s.to);
        stamp_sine_change(m, s, b, d, turn(m.chord, d));
    }
    static void stamp_sine_change(const Model& m, const LiveSide& s, DoubleArray b, double d,
                                  double sine_change) noexcept {
        stamp_current(b, s.from, s.to,
                      m.chord.sine_amplitude * sine_change - m.chord.supercurrent_g * d);
        m.chord.argument += d;
    }

    // Of the plain sine: phi - phi0 at the present estimates.
    static double argument_now(const Model& m, const StepContext& ctx) noexcept {
        const LiveSide s = live_side(m.t);
        return across(ctx.phases, s.from, s.to) - m.law.offset;
    }
    // The current at the present estimates, the kept sine being that of
    // phi - phi0 there; keeps the argument and the current.
    static void stamp_sine_current(const Model& m, DoubleArray b, const StepContext& ctx) noexcept {
        const LiveSide s = live_side(m.t);
        const JunctionState state = estimate(s, ctx);
        m.chord.argument = state.phase - m.law.offset;
        m.chord.current = m.current_from(state, m.chord.sine_amplitude * m.chord.sine);
        stamp_current(b, s.from, s.to, m.chord.current);
    }

    static void rhs_current_each(ElementModelObject* const* models, size_t count, DoubleArray b,
                                 const StepContext& ctx) noexcept {
        if constexpr (sine_chord<Model>::value) {
            if (ctx.turn_sine) {
                TurnChunk turns;
                for (size_t first = 0; first < count; first += kTurnChunk) {
                    const size_t n = std::min(kTurnChunk, count - first);
                    ElementModelObject* const* chunk = models + first;
                    for (size_t k = 0; k < n; ++k) {
                        const Model& m = as<Model>(chunk[k]);
                        take_if_asked(m, ctx);
                        turns.d[k] = argument_now(m, ctx) - m.chord.argument;
                    }
                    turns.take_series(n);
                    for (size_t k = 0; k < n; ++k) {
                        const Model& m = as<Model>(chunk[k]);
                        if (!m.chord.plain_sine() || !series_holds(turns.d[k])) {
                            evaluate(m, b, ctx);
                            continue;
                        }
                        turn_by(m.chord, turns.sine[k], turns.cosine_less_one[k]);
                        stamp_sine_current(m, b, ctx);
                    }
                }
                return;
            }
        }
        for (size_t k = 0; k < count; ++k)
            rhs_current(models[k], b, ctx);
    }

    static void rhs_change_each(ElementModelObject* const* models, size_t count, DoubleArray b,
                                const double* correction, const StepContext& ctx) noexcept {
        if constexpr (sine_chord<Model>::value) {
            TurnChunk turns;
            for (size_t first = 0; first < count; first += kTurnChunk) {
                const size_t n = std::min(kTurnChunk, count - first);
                ElementModelObject* const* chunk = models + first;
                for (size_t k = 0; k < n; ++k) {
                    const LiveSide s = live_side(as<Model>(chunk[k]).t);
                    turns.d[k] = across(correction, s.from, s.to);
                }
                turns.take_series(n);
                for (size_t k = 0; k < n; ++k) {
                    const Model& m = as<Model>(chunk[k]);
                    if (!m.chord.plain_sine() || !series_holds(turns.d[k])) {
                        rhs_change(chunk[k], b, correction, ctx);
                        continue;
                    }
                    stamp_sine_change(m, live_side(m.t), b, turns.d[k],
                                      turn_by(m.chord, turns.sine[k], turns.cosine_less_one[k]));
                }
            }
            return;
        }
        for (size_t k = 0; k < count; ++k)
            rhs_change(models[k], b, correction, ctx);
    }

    // report_phase, and the current.
    static void values(ElementModelObject* self, const StepContext& ctx) noexcept {
        report_phase(self, ctx);
        const Model& m = as<Model>(self);
        const SharedPointers& p = self->book->arrays();
        const LiveSide s = live_side(m.t);
        const JunctionState now = state_at(s, p.node_phases, p.node_voltages, p.node_dvoltages);
        p.elem_currents[m.t.eindex] = s.sign * m.current(now);
    }

    static void report_phase(ElementModelObject* self, const StepContext& ctx) noexcept {
        const Model& m = as<Model>(self);
        const SharedPointers& p = self->book->arrays();
        const LiveSide s = live_side(m.t);
        const int32_t e = m.t.eindex;
        p.elem_phases[e] = s.sign * m.shown_phase(across(p.node_phases, s.from, s.to));
        p.elem_voltages[e] = s.sign * across(p.node_voltages, s.from, s.to);
        count_turns(p, e, ctx);
    }
};

template <class Model>
inline constexpr ElementOps junction_ops = {no_admitance0,
                                            JunctionOps<Model>::admitance1,
                                            JunctionOps<Model>::admitance2,
                                            JunctionOps<Model>::rhs_current,
                                            JunctionOps<Model>::values,
                                            false,
                                            nullptr,
                                            nullptr,
                                            nullptr,
                                            nullptr,
                                            JunctionOps<Model>::report_phase,
                                            JunctionOps<Model>::rhs_change,
                                            JunctionOps<Model>::rhs_current_each,
                                            JunctionOps<Model>::rhs_change_each};

template <class Model> void set_junction_defaults(Model& m) {
    m.critical_current = 0.0;
    m.resistance = 1.0;
    m.capacitance = 1.0;
}

// The class description of a junction: two terminals, four stamped positions,
// the nine arrays, Ic, R, C and then `own_parameters` as read-only attributes.
template <class Model>
ModelClass junction_class(const char* name, const char* doc,
                          std::vector<DoubleField> own_parameters,
                          void (*set_defaults)(ElementModelObject*),
                          void (*set_parameters)(ElementModelObject*, const Params&)) {
    std::vector<DoubleField> parameters = {{"critical_current", offsetof(Model, critical_current)},
                                           {"resistance", offsetof(Model, resistance)},
                                           {"capacitance", offsetof(Model, capacitance)}};
    parameters.insert(parameters.end(), own_parameters.begin(), own_parameters.end());
    return {name,
            doc,
            sizeof(Model),
            &junction_ops<Model>,
            two_terminals<Model>(),
            two_terminal_eindex<Model>(),
            two_terminal_positions<Model>(),
            junction_arrays(),
            parameters,
            set_defaults,
            set_parameters,
            {},
            {}};
}

} // namespace loxant
