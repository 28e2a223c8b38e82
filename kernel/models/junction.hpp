// What the junction classes share: ground handling, the four operations, array
// binding, reporting and the class description.  A junction class supplies its
// fields and its current law; everything else is written once here.
//
// A junction model struct is standard-layout and has the members
//   ElementModelObject base;   TwoTerminal t;
//   double critical_current, resistance, capacitance;   (then its own parameters)
// and the const noexcept member functions
//   current(s)           the current leaving the live terminal for the state s
//   step_admitance(ctx)  g stamped into A1 (terms that depend on the step only)
//   phase_slope(s, ctx)  g stamped into A2, d(current)/d(phase) minus what A1 holds
//   shown_phase(phase)   the junction phase as reported in the element arrays
#pragma once

#include "kernel/models/element_model.hpp"

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

template <class Model> struct JunctionOps {
    static void admitance1(ElementModelObject* self, DoubleArray a1,
                           const StepContext& ctx) noexcept {
        const Model& m = as<Model>(self);
        stamp(a1, m.t, m.step_admitance(ctx));
    }

    static void admitance2(ElementModelObject* self, DoubleArray a2,
                           const StepContext& ctx) noexcept {
        const Model& m = as<Model>(self);
        stamp(a2, m.t, m.phase_slope(estimate(live_side(m.t), ctx), ctx));
    }

    static void rhs_current(ElementModelObject* self, DoubleArray b,
                            const StepContext& ctx) noexcept {
        const Model& m = as<Model>(self);
        const LiveSide s = live_side(m.t);
        stamp_current(b, s.from, s.to, m.current(estimate(s, ctx)));
    }

    static void values(ElementModelObject* self, const StepContext& ctx) noexcept {
        const Model& m = as<Model>(self);
        const SharedPointers& p = self->book->arrays;
        const LiveSide s = live_side(m.t);
        const JunctionState now = state_at(s, p.node_phases, p.node_voltages, p.node_dvoltages);
        report_junction(p, m.t.eindex, s.sign * m.current(now), s.sign * m.shown_phase(now.phase),
                        s.sign * now.voltage, ctx);
    }

    static void report_phase(ElementModelObject* self, const StepContext& ctx) noexcept {
        const Model& m = as<Model>(self);
        const SharedPointers& p = self->book->arrays;
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
                                            JunctionOps<Model>::report_phase};

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
