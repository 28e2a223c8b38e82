#include "engine/transient.hpp"

#include "engine/lanes.hpp"
#include "engine/transient_detail.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace loxant::engine {

using detail::strided;
using detail::zero;

// ---- error control -----------------------------------------------------------------

// Local error of the step of size h just converged, as the weighted maximum
// over the phases (at most 1 when it obeys the tolerance).
//
// With h1, h2 the two steps before, the corrector x_c (BDF2, derivative
// coefficient a0) and the quadratic x_p through the last three levels,
// extrapolated to the new time, err with the third derivative x''':
//   x_c - x = x''' h (h + h1) / (6 a0)          (BDF2 derivative residual / a0)
//   x - x_p = x''' h (h + h1) (h + h1 + h2) / 6  (interpolation remainder)
// so the corrector's error is (x_c - x_p) / (1 + a0 (h + h1 + h2)): 2/11 of
// the difference at a constant step.  The Jacobian's share is neglected.  The
// trapezoidal rule's corrector errs by x_c - x = -x''' h^3 / 12, so its share
// is h^2 / (2 (h + h1) (h + h1 + h2) - h^2): 1/11 at a constant step.
double Transient::local_error(double h, double a0, const double* shift) const noexcept {
    return weighted_error(h, a0, shift, options_.lte_atol, options_.lte_rtol);
}

Transient::ErrorTerms Transient::error_terms(double h, double a0) const noexcept {
    const double h1 = h_prev_, h2 = h_prev2_;
    ErrorTerms e;
    e.l2 = -h * (h + h1 + h2) / (h1 * h2);
    e.l3 = h * (h + h1) / ((h1 + h2) * h2);
    e.c = trapezoidal_step_ ? h * h / (2.0 * (h + h1) * (h + h1 + h2) - h * h)
                            : 1.0 / (1.0 + a0 * (h + h1 + h2));
    return e;
}

// The same as the maximum of |err| / (atol + rtol |x|); `shift`, when given, is
// a part of the step that the predictor cannot know (a noise jump) and is taken
// out of the difference.
double Transient::weighted_error(double h, double a0, const double* shift, double atol,
                                 double rtol) const noexcept {
    const auto [l2, l3, c] = error_terms(h, a0);
    const double* x = levels_[xind_].data();
    const double* x1 = levels_[(xind_ + 2) % 3].data();
    const double* x2 = levels_[(xind_ + 1) % 3].data();
    const double* x3 = x3_.data();
    // differences from x_{n-1}: large phases do not cancel (l1 + l2 + l3 = 1)
    if (shift == nullptr)
        return lanes::largest_error({x, x1, x2, x3}, n_, l2, l3, c, atol, rtol);
    double largest = 0.0;
    for (int32_t k = 0; k < n_; ++k) {
        const double predicted = (l2 * (x2[k] - x1[k]) + l3 * (x3[k] - x1[k])) + shift[k];
        const double e = c * std::fabs((x[k] - x1[k]) - predicted);
        largest = std::max(largest, e / (atol + rtol * std::fabs(x[k])));
    }
    return largest;
}

// The next waveform breakpoint or noise step boundary after t_ (infinite if none).
double Transient::next_breakpoint() {
    const std::vector<double>& bps = options_.breakpoints;
    while (next_breakpoint_ < bps.size() && bps[next_breakpoint_] <= t_ * (1 + 1e-12))
        ++next_breakpoint_;
    double next = next_breakpoint_ < bps.size() ? bps[next_breakpoint_]
                                                : std::numeric_limits<double>::infinity();
    const double tau = options_.noise_step;
    if (tau > 0) {
        while (static_cast<double>(noise_boundaries_ + 1) * tau <= t_ * (1 + 1e-12))
            ++noise_boundaries_;
        const double boundary = static_cast<double>(noise_boundaries_ + 1) * tau;
        if (boundary < options_.t_stop)
            next = std::min(next, boundary);
    }
    return next;
}

// The step shortened to end on the next breakpoint when it would pass it or
// stop just short of it; `corner` is then that breakpoint, else negative.
double Transient::limit_to_breakpoint(double step_size, double& corner) {
    const double next = next_breakpoint();
    const double left = next - t_;
    const bool lands = left < step_size * (1 + 1e-3);
    corner = lands ? next : -1.0;
    return lands ? left : step_size;
}

// ---- noise of an adaptive run ------------------------------------------------------
//
// Each noise current holds its value over the noise step, whose boundaries the
// steps land on; the error estimate leaves out what the noise drives, as the
// Python driver's _NoiseHold does.

void Transient::stamp_noise() noexcept {
    zero(noise_now_);
    const DoubleArray b = strided(noise_now_);
    for (ElementModelObject* m : noise_models_)
        m->ops->rhs_current(m, b, ctx_);
    if (!noise_history_set_) { // the state at rest: as if under the first value
        for (std::vector<double>& level : noise_history_)
            level = noise_now_;
        noise_history_set_ = true;
    }
}

// Whether the step just converged is judged by its local error: not when its
// last three levels saw different noise (it has no smooth history); when it
// changes the noise after a steady history, `shift` is the change's response
// through the step's Jacobian, which the estimate leaves out.
bool Transient::judge_noise(const double*& shift) noexcept {
    shift = nullptr;
    stamp_noise();
    const std::vector<double>& last = noise_history_[0];
    if (last != noise_history_[1] || noise_history_[1] != noise_history_[2])
        return false;
    if (noise_now_ == last)
        return true;
    // The Jacobian at the converged level (models that keep a history would
    // commit another state: their last one stays).
    if (options_.nonlinear && !options_.steps_history) {
        assemble(false);
        for (int32_t p = 0; p < nnz_; ++p)
            ax_[p] = a01_[p] + a2_[p];
        if (!solver_.factor(ax_.data()))
            return false;
    }
    for (int32_t k = 0; k < n_; ++k)
        noise_shift_[k] = noise_now_[k] - last[k];
    solver_.solve(noise_shift_.data());
    ++stats_.solves;
    shift = noise_shift_.data();
    return true;
}

void Transient::accept_noise() noexcept {
    noise_history_[2].swap(noise_history_[1]);
    noise_history_[1].swap(noise_history_[0]);
    noise_history_[0].swap(noise_now_);
}

// ---- recording ---------------------------------------------------------------------

void Transient::record(const RecordTables& tables, double t) {
    const int64_t row = recorded_++;
    tables.time[row] = t;
    double* values = tables.values + row * static_cast<int64_t>(channels_.size());
    const double* x = levels_[xind_].data();
    for (size_t c = 0; c < channels_.size(); ++c) {
        const Channel& ch = channels_[c];
        switch (ch.quantity) {
        case Quantity::node_phase:
            values[c] = x[ch.index];
            break;
        case Quantity::node_voltage:
            values[c] = v1_[ch.index]; // the accepted level's
            break;
        case Quantity::current:
            values[c] = shared_.elem_current[ch.index] * ch.sign;
            break;
        case Quantity::phase:
            values[c] = shared_.elem_phase[ch.index] * ch.sign;
            break;
        case Quantity::voltage:
            values[c] = shared_.elem_voltage[ch.index] * ch.sign;
            break;
        }
    }
    int32_t* turns = tables.turns + row * static_cast<int64_t>(turn_channels_.size());
    for (size_t c = 0; c < turn_channels_.size(); ++c)
        turns[c] = shared_.elem_n[turn_channels_[c]];
}

namespace {
// The size of the next start-up step: `size` cut to what is `left` of the
// period's step, read as `size` where the two differ by rounding only.
double whole_step(double size, double left, double h) noexcept {
    return std::fabs(left - size) <= 1e-9 * h ? size : std::min(size, left);
}

// True if every value is +0.0 bit for bit (a -0.0 would show where it is recorded).
bool all_positive_zero(const double* values, int32_t n) noexcept {
    uint64_t bits = 0;
    for (int32_t k = 0; k < n; ++k) {
        uint64_t word;
        std::memcpy(&word, &values[k], sizeof word);
        bits |= word;
    }
    return bits == 0;
}

bool same_bits(double a, double b) noexcept {
    return std::memcmp(&a, &b, sizeof a) == 0;
}
} // namespace

// The start-up period integrates with BDF2 whatever the run's method: it is
// there to come to rest, and BDF2 damps what the trapezoidal rule would carry
// on (a voltage's derivative after a corner, flipping sign each step).
Outcome Transient::settle(Host& host) {
    if (options_.settle_steps <= 0)
        return Outcome::finished;
    struct Settling {
        bool& flag;
        explicit Settling(bool& f) : flag(f) { flag = true; }
        ~Settling() { flag = false; }
    } settling(settling_);
    const double h = options_.settle_step;
    ctx_.junction_history_held = true;
    rest_watched_ = may_skip_rest();
    for (int64_t k = options_.settle_steps; k > 0; --k) {
        // from t = -k h to -(k - 1) h, as the peer counts its steps (the last
        // lands on 0); a step that fails is taken in halves
        t_ = -static_cast<double>(k) * h;
        const double end = -static_cast<double>(k - 1) * h;
        double size = h;
        while (end - t_ > 1e-9 * h) {
            // a whole step is h itself, not end - t_, which differs from it in
            // the last bits: every size change would rebuild and refactor
            size = whole_step(size, end - t_, h);
            const bool lands = end - t_ - size <= 1e-9 * h;
            // the period's last step is computed: what it leaves in the element
            // arrays and the sources is then that of every run
            if (rest_armed_ && !(k == 1 && lands) && rest_holds(size)) {
                take_rest_step();
            } else {
                const StepStatus status = settle_step(size, host);
                if (status == StepStatus::stopped)
                    return Outcome::interrupted;
                if (status != StepStatus::ok) {
                    ++stats_.rejected;
                    if (size / 2 < options_.dt_min)
                        return fail(status, size);
                    size /= 2;
                    continue;
                }
            }
            t_ = lands ? end : t_ + size;
            h_prev2_ = h_prev_;
            h_prev_ = size;
            has_prev_ = true;
        }
    }
    // the run's steps are counted apart; the motion left is the change of node
    // voltage another period at the final rate would bring
    stats_.settle_steps = stats_.steps;
    stats_.steps = 0;
    const double period = static_cast<double>(options_.settle_steps) * h;
    for (double dv : ddx_)
        stats_.settle_motion = std::max(stats_.settle_motion, std::fabs(dv) * period);
    restart();
    return Outcome::finished;
}

// ---- the start-up period at rest ---------------------------------------------------
//
// A linear circuit at rest (every level and voltage history exactly 0) under
// sources that are all exactly 0 computes a step that leaves it at rest: a
// large circuit whose sources start after t = 0 spends its whole start-up
// period so.  One computed step shows it, a probe: from rest, of the step size
// of the one before it, without a rebuild of the matrix.  Each step after it
// that would see exactly what the probe saw (the same step sizes, source
// values and smooth factor, the same matrix) would compute exactly what the
// probe did, and is only counted; the first that would not is computed, and
// so is the last of the period.  What a skipped step would write besides the
// levels (the element arrays through Values) the next computed step writes
// again: no model the skip admits keeps a state of its own.

// A computed step of the start-up period, accepted if it converged; while the
// period is watched, whether the steps after it may be skipped.
Transient::StepStatus Transient::settle_step(double size, Host& host) {
    const bool probe = rest_watched_ && rest_probe(size);
    const int64_t builds = stats_.matrix_builds;
    const StepStatus status = step(t_, size, has_prev_, h_prev_, host);
    if (status != StepStatus::ok) {
        rest_watched_ = rest_armed_ = false;
        return status;
    }
    accept(size);
    if (rest_watched_)
        watch_rest(probe, stats_.matrix_builds != builds);
    return status;
}

// A linear circuit whose step is a function of the levels, the source values
// and the step size alone: no model keeps a state or a piece, no Python runs.
bool Transient::may_skip_rest() const noexcept {
    if (!options_.skip_rest || options_.nonlinear || options_.steps_history ||
        options_.values_every_step || calls_python_ || !noise_models_.empty())
        return false;
    return std::none_of(models_.begin(), models_.end(), [](const ElementModelObject* m) {
        return m->ops->keeps_state || m->ops->terms_changed != nullptr;
    });
}

// Every level, voltage and derivative history and node array the models read: +0.
bool Transient::at_rest() const noexcept {
    for (const std::vector<double>* v :
         {&levels_[0], &levels_[1], &levels_[2], &v1_, &v2_, &dv1_, &dv2_})
        if (!all_positive_zero(v->data(), n_))
            return false;
    for (const double* p : {shared_.node_phase, shared_.node_voltage, shared_.node_dvoltage})
        if (!all_positive_zero(p, n_))
            return false;
    return true;
}

// Whether the step about to be computed may be a probe: the formula's
// coefficients and the predictor's degree those of every step after it.
bool Transient::rest_probe(double size) const noexcept {
    return has_prev_ && size == h_prev_ && steps_taken_ >= 2 && at_rest();
}

// After a computed step: a probe that left the circuit at rest, every source at
// 0 and the matrix as it was, arms the skip; a step that moved the circuit ends
// the watch.
void Transient::watch_rest(bool probe, bool rebuilt) noexcept {
    rest_armed_ = false;
    if (!at_rest()) {
        rest_watched_ = false;
        return;
    }
    rest_armed_ = probe && !rebuilt &&
                  std::all_of(sources_.begin(), sources_.end(),
                              [](const Source& s) { return *s.value == 0.0; });
}

// Whether the next step of `size` would see what the probe saw: the same step
// sizes, and the sources writing the values they hold, every one 0, under the
// same smooth factor.
bool Transient::rest_holds(double size) const noexcept {
    if (!has_prev_ || size != h_prev_)
        return false;
    const double t_new = t_ + size;
    if (!same_bits(detail::smooth_factor(t_new, options_.initial_ramp), ctx_.smooth_factor))
        return false;
    double w = 0.0;
    for (const Source& s : sources_) {
        if (!s.same_as_previous)
            w = s.waveform->value(t_new);
        const double value = s.sign * w;
        if (value != 0.0 || !same_bits(value, *s.value))
            return false;
    }
    return true;
}

// What a linear step without a rebuild counts, its one solve and iteration;
// the levels turn as the predictor turns them (all three hold 0).
void Transient::take_rest_step() noexcept {
    xind_ = (xind_ + 1) % 3;
    ++stats_.iterations;
    stats_.max_iterations = std::max<int64_t>(stats_.max_iterations, 1);
    ++stats_.solves;
    ++stats_.steps;
    ++steps_taken_;
    ++rest_steps_;
}

// The integration starts again at t = 0 from the present state, as a run with
// no start-up period starts from rest: first step of one level, fresh matrix
// and factorisation.
void Transient::restart() noexcept {
    t_ = grid_t_ = 0.0;
    for (Source& s : sources_)
        s.settled = false; // the start-up period ran at earlier times
    grid_points_ = accepted_ = 0;
    on_grid_ = true;
    h_ = options_.dt;
    h_prev_ = h_prev2_ = 0.0;
    has_prev_ = false;
    steps_taken_ = 0;
    ctx_.junction_history_held = false;
    calm_ = 0;
    built_ = linear_factored_ = false;
    built_a0_ = 0.0;
    jacobian_stale_ = true;
    solver_.forget();
}

void Transient::record_start(const RecordTables& tables) {
    if (options_.record_from <= 0 && recorded_ < tables.capacity)
        record_and_judge(tables, 0.0);
}

// ---- the loop ----------------------------------------------------------------------

// Before each step: a full table, a stop asked by the host (progress, a
// changed model), each a reason to return to the caller now.
bool Transient::must_stop(const RecordTables& tables, Host& host, double& next_pause,
                          Outcome& outcome) {
    const int64_t counted = options_.adaptive ? accepted_ : grid_points_;
    const bool records_next = (counted + 1) % options_.record_every == 0;
    if (records_next && recorded_ >= tables.capacity) {
        outcome = Outcome::tables_full;
        return true;
    }
    if (options_.max_steps > 0 && stats_.steps + stats_.rejected >= options_.max_steps) {
        outcome = Outcome::step_limit;
        return true;
    }
    if (now() >= next_pause) {
        if (!host.pause(t_) || !host.models_still_fit()) {
            outcome = Outcome::interrupted;
            return true;
        }
        next_pause = now() + options_.pause_every;
    }
    return false;
}

double Transient::next_step_size() const noexcept {
    const double t_stop = options_.t_stop;
    const double step_size = std::min(h_, t_stop - t_);
    if (t_stop - (t_ + step_size) < 1e-3 * step_size)
        return t_stop - t_; // no sliver of a step at the end
    return step_size;
}

// A step that failed at the smallest size: the run ends here.
Outcome Transient::fail(StepStatus status, double step_size) noexcept {
    failure_.time = t_;
    failure_.step = step_size;
    failure_.singular = status == StepStatus::singular;
    failure_.reason = status == StepStatus::singular     ? kReasonSingular
                      : status == StepStatus::not_finite ? kReasonNonFinite
                      : status == StepStatus::ok         ? kReasonLocalError
                                                         : kReasonNoConvergence;
    return Outcome::failed;
}

// Records the sample at t and has the stop rule judge it: false once the run
// has failed its criterion.
bool Transient::record_and_judge(const RecordTables& tables, double t) {
    record(tables, t);
    return !stop_rule_.active() || stop_rule_.observe(t, shared_.elem_phase);
}

Outcome Transient::run(const RecordTables& tables, Host& host) {
    if (stop_rule_.report().kind != StopKind::none)
        return Outcome::rule_failed; // failed on the first sample
    if (options_.adaptive)
        return run_adaptive(tables, host);
    const double t_stop = options_.t_stop, dt = options_.dt;
    double next_pause = now() + options_.pause_every;
    while (t_stop - t_ > 1e-9 * dt) {
        Outcome stop;
        if (must_stop(tables, host, next_pause, stop))
            return stop;
        double step_size = next_step_size();
        // Steps smaller than dt after a retry land on the grid of dt again.
        const bool regular = on_grid_ && h_ >= dt;
        bool lands = regular;
        if (!regular && grid_t_ + dt - t_ < step_size * (1 + 1e-3)) {
            step_size = grid_t_ + dt - t_;
            lands = true;
        }
        const StepStatus status = step(t_, step_size, has_prev_, h_prev_, host);
        if (status == StepStatus::stopped)
            return Outcome::interrupted;
        if (status != StepStatus::ok) {
            ++stats_.rejected;
            h_ = step_size / 2;
            if (h_ < options_.dt_min) {
                return fail(status, step_size);
            }
            calm_ = 0;
            continue;
        }
        accept(step_size);
        const bool to_end = step_size == t_stop - t_;
        t_ = to_end ? t_stop : lands && !regular ? grid_t_ + dt : t_ + step_size;
        h_prev2_ = h_prev_;
        h_prev_ = step_size;
        has_prev_ = true;
        ++accepted_;
        on_grid_ = lands || to_end;
        // Only the grid's points are recorded: retries move no sample.
        if (on_grid_) {
            grid_t_ = t_;
            ++grid_points_;
            if (grid_points_ % options_.record_every == 0 && t_ >= options_.record_from - 1e-9 * dt)
                if (!record_and_judge(tables, t_))
                    return Outcome::rule_failed;
        }
        if (h_ < dt && ++calm_ >= 4) {
            h_ = std::min(2 * h_, dt);
            calm_ = 0;
        }
    }
    return Outcome::finished;
}

namespace {
// Step size control: the error falls with the cube of the step.
constexpr double kSafety = 0.9, kGrowth = 2.0, kShrink = 0.2;

double step_factor(double error) noexcept {
    if (!(error > 0.0))
        return kGrowth;
    return std::clamp(kSafety * std::cbrt(1.0 / error), kShrink, kGrowth);
}
} // namespace

// The adaptive loop: every converged step whose local error passes is kept;
// the next size follows from the error.  The first two steps have no history
// to judge them by: they keep the first size, which is small.
Outcome Transient::run_adaptive(const RecordTables& tables, Host& host) {
    const double t_stop = options_.t_stop, dt = options_.dt;
    double next_pause = now() + options_.pause_every;
    while (t_stop - t_ > 1e-9 * dt) {
        Outcome stop;
        if (must_stop(tables, host, next_pause, stop))
            return stop;
        double corner = -1.0;
        const double step_size = limit_to_breakpoint(next_step_size(), corner);
        const StepStatus status = step(t_, step_size, has_prev_, h_prev_, host);
        if (status == StepStatus::stopped)
            return Outcome::interrupted;
        double factor = 0.5;
        bool passed = status == StepStatus::ok;
        bool judged = true;
        const double* shift = nullptr;
        if (passed && !noise_models_.empty())
            judged = judge_noise(shift);
        if (passed && steps_taken_ >= 2 && judged) {
            const double w = step_size / h_prev_;
            const double a0 = (1.0 + 2.0 * w) / (step_size * (1.0 + w));
            const double error = local_error(step_size, a0, shift);
            factor = step_factor(error);
            passed = error <= 1.0;
            if (!passed) {
                xind_ = (xind_ + 2) % 3;
                built_ = false;
            }
        } else if (passed) {
            factor = 1.0;
        }
        if (!passed) {
            ++stats_.rejected;
            h_ = step_size * std::min(factor, 0.5);
            if (h_ < options_.dt_min) {
                return fail(status, step_size);
            }
            continue;
        }
        accept(step_size);
        if (!noise_models_.empty())
            accept_noise();
        const bool to_end = step_size == t_stop - t_;
        const bool to_breakpoint = corner >= 0;
        t_ = to_end ? t_stop : to_breakpoint ? corner : t_ + step_size;
        h_prev2_ = h_prev_;
        h_prev_ = step_size;
        has_prev_ = true;
        ++accepted_;
        if (accepted_ % options_.record_every == 0 && t_ >= options_.record_from - 1e-9 * dt)
            if (!record_and_judge(tables, t_))
                return Outcome::rule_failed;
        // A step cut short by a breakpoint does not shrink the next.
        const double next = step_size * factor;
        h_ = std::min(to_breakpoint ? std::max(next, h_) : next, options_.dt_max);
    }
    return Outcome::finished;
}

} // namespace loxant::engine
