// The per-call record of step data that the kernels hand to the element
// operations, and the 2*pi turn counter shared by junctions and sources.
#pragma once

#include <cstdint>

namespace loxant {

// Filled on the kernel's stack; each kernel fills only the fields it lists.
// Pointer fields point into the SimulationParameters arrays, indexed by
// unknown number - 1, and are valid only during the kernel call.
struct StepContext {
    double coeff_dt;              // InterpCoeffDt[0]: d(voltage)/d(phase)
    double coeff_ddt;             // InterpCoeffDDt[0]: d(voltage derivative)/d(phase)
    double smooth_factor;         // InitialSmoothFactor
    double phase_hysteresis;      // PHASE_HISTERESIS (UpdateValues only)
    double time_step;             // TimeSteps[0]
    const double* phases;         // X[Xind]
    const double* phases_prev;    // X[Xind - 1]
    const double* voltages;       // DX
    const double* voltages_deriv; // DDX
    const double* voltages_prev;  // DXprev (BuildMatrix, UpdateMatrix)
    // The start-up period before t = 0 holds the voltage history of junctions at
    // zero, as the peer's does: their voltage derivative is then coeff_dt * V.
    bool junction_history_held;
    // A junction's plain sine may turn on from the one it kept at its last
    // evaluation, where the phase moved by at most 1/32 since: the loop asks
    // for this only between evaluations of its own, and evaluates afresh at
    // regular steps, so that a run's result depends on that run alone and
    // what the turns round off stays at a few units in the last place.
    bool turn_sine;
    // A model whose advance a loop defers (ElementOps::advances_when_evaluated)
    // first does in RHSCurrent what its advance and terms_changed would have
    // done at the step accepted last, from voltages_prev, and sets
    // *terms_jumped where its terms changed.  Only the first evaluation of a
    // step after an acceptance asks for this.
    bool take_accepted;
    bool* terms_jumped;
};

// Keeps `count` at the signed number of whole turns nearest to phase / 2*pi,
// except inside a dead band of `hysteresis` radians around every odd multiple
// of pi, where it keeps its last value.  `inc`/`dec` are 1 only in the update
// that raised/lowered the count.
void CountPhaseSlips(double phase, double hysteresis, int32_t& count, uint8_t& inc,
                     uint8_t& dec) noexcept;

} // namespace loxant
