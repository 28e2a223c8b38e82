#include "engine/transient.hpp"

#include "engine/lanes.hpp"
#include "engine/transient_detail.hpp"

#include <algorithm>
#include <cmath>

namespace loxant::engine {

using detail::kEstimateShare;
using detail::kSlowRate;
using detail::smooth_factor;
using detail::strided;
using detail::zero;

// ---- the chord iteration ------------------------------------------------------------
//
// With J the kept matrix, M its share from the models with phase terms (their
// A1 and A2 when it was factored) and bn their currents, a correction d that
// solved J d = b(x) leaves, at x + d,
//   b(x + d) = bn(x + d) - bn(x) + M d,
// since the other models' currents are affine in x with derivative J - M.  So
// an iteration calls only the models with phase terms; the others run once a
// step, at the predictor.  Where each of those models has rhs_change, it adds
// its own bn(x + d) - bn(x) + M d from what it kept of its last evaluation
// and of its share of M: a junction's is then its supercurrent's change
// alone, with no second sine and no large currents cancelling.

// A1 of every model at the step size of this step, and A0 + A1.
void Transient::build_step_terms() {
    const double start = options_.profile ? now() : 0.0;
    zero(a1_);
    const DoubleArray a1 = strided(a1_);
    for (ElementModelObject* m : models_)
        m->ops->admitance1(m, a1, ctx_);
    for (int32_t p = 0; p < nnz_; ++p)
        a01_[p] = a0_[p] + a1_[p];
    if (options_.profile)
        stats_.kernel_seconds += now() - start;
}

// b at the present iterate from every model; bn from those with phase terms
// (unless they keep their currents themselves).
void Transient::full_rhs() {
    const double start = options_.profile ? now() : 0.0;
    const DoubleArray b = strided(b_);
    if (models_changes_) {
        zero(b_);
        ctx_.turn_sine = steps_taken_ % kFreshSineEvery != 0;
        bool jumped = false;
        if (deferred_due_) { // voltages_prev is the accepted level's
            ctx_.take_accepted = true;
            ctx_.terms_jumped = &jumped;
            deferred_due_ = false;
        }
        nonlinear_currents(b);
        ctx_.turn_sine = ctx_.take_accepted = false;
        ctx_.terms_jumped = nullptr;
        if (jumped)
            jacobian_stale_ = true;
    } else {
        zero(bn_);
        nonlinear_currents(strided(bn_));
        std::memcpy(b_.data(), bn_.data(), static_cast<size_t>(n_) * sizeof(double));
        b_[static_cast<size_t>(n_)] = 0.0;
    }
    for (ElementModelObject* m : rhs_affine_calls_)
        m->ops->rhs_current(m, b, ctx_);
    add_flat_branches();
    if (options_.profile)
        stats_.kernel_seconds += now() - start;
}

// RHSCurrent of the models with phase terms, a run of like models at a time.
void Transient::nonlinear_currents(const DoubleArray& b) noexcept {
    ElementModelObject* const* models = rhs_nonlinear_.data();
    for (const ModelRun& run : nonlinear_runs_) {
        if (run.ops->rhs_current_each != nullptr) {
            run.ops->rhs_current_each(models + run.first, run.count, b, ctx_);
            continue;
        }
        for (size_t k = run.first; k < run.first + run.count; ++k)
            run.ops->rhs_current(models[k], b, ctx_);
    }
}

// rhs_change of the models with phase terms, a run of like models at a time.
void Transient::nonlinear_changes(const DoubleArray& b, const double* correction) noexcept {
    ElementModelObject* const* models = rhs_nonlinear_.data();
    for (const ModelRun& run : nonlinear_runs_) {
        if (run.ops->rhs_change_each != nullptr) {
            run.ops->rhs_change_each(models + run.first, run.count, b, correction, ctx_);
            continue;
        }
        for (size_t k = run.first; k < run.first + run.count; ++k)
            run.ops->rhs_change(models[k], b, correction, ctx_);
    }
}

// The currents of the linear branches into b, one pass over each quantity's
// flat arrays (ground is entry n of every array).
void Transient::add_flat_branches() noexcept {
    const double* quantities[3] = {ctx_.phases, ctx_.voltages, ctx_.voltages_deriv};
    double* b = b_.data();
    for (size_t q = 0; q < 3; ++q) {
        const double* u = quantities[q];
        const FlatBranches& flat = flat_[q];
        const int32_t* from = flat.i.data();
        const int32_t* to = flat.j.data();
        const double* g = flat.g.data();
        const size_t count = flat.g.size();
        for (size_t e = 0; e < count; ++e) {
            const double c = g[e] * (u[from[e]] - u[to[e]]);
            b[from[e]] -= c;
            b[to[e]] += c;
        }
    }
}

// Factors A0 + A1 + A2 at the present iterate and keeps the share of the
// models with phase terms as triplets.  False if the matrix is singular.
bool Transient::refresh_jacobian() {
    const double start = options_.profile ? now() : 0.0;
    zero(a2_);
    const DoubleArray a2 = strided(a2_);
    if (models_changes_) { // each keeps its own g, from these calls
        for (ElementModelObject* m : with_a2_)
            m->ops->admitance2(m, a2, ctx_);
    } else {
        zero(scratch_);
        const DoubleArray own = strided(scratch_);
        for (ElementModelObject* m : with_a2_) {
            m->ops->admitance2(m, a2, ctx_);
            m->ops->admitance1(m, own, ctx_);
        }
    }
    for (int32_t p = 0; p < nnz_; ++p)
        ax_[p] = a01_[p] + a2_[p];
    if (!models_changes_)
        keep_phase_share();
    if (options_.profile)
        stats_.kernel_seconds += now() - start;
    const double factor_start = options_.profile ? now() : 0.0;
    const bool ok = solver_.factor(ax_.data());
    if (options_.profile)
        stats_.solver_seconds += now() - factor_start;
    jacobian_stale_ = !ok;
    if (ok)
        set_estimate_weights();
    return ok;
}

// The kept matrix's share of the models with phase terms (their A1 and A2,
// the last in a2_, the first in scratch_) as triplets.
void Transient::keep_phase_share() {
    kept_row_.clear();
    kept_col_.clear();
    kept_value_.clear();
    for (int32_t p = 0; p < nnz_; ++p) {
        const double value = scratch_[p] + a2_[p];
        if (value != 0.0) {
            kept_row_.push_back(row_of_[p]);
            kept_col_.push_back(col_of_[p]);
            kept_value_.push_back(value);
        }
    }
}

// 2 / (|J_kk| abstol) of every row of the matrix just factored (infinite
// without a diagonal), the weights of the estimate in update_residual.
void Transient::set_estimate_weights() noexcept {
    constexpr double kSafety = 2.0;
    for (int32_t k = 0; k < n_; ++k) {
        const int32_t p = diagonal_[static_cast<size_t>(k)];
        const double diagonal = p < 0 ? 0.0 : std::fabs(ax_[static_cast<size_t>(p)]);
        estimate_weight_[static_cast<size_t>(k)] = diagonal > 0.0
                                                       ? kSafety / (diagonal * abstol_)
                                                       : std::numeric_limits<double>::infinity();
        diagonal_inverse_[static_cast<size_t>(k)] =
            diagonal > 0.0 ? 1.0 / ax_[static_cast<size_t>(p)] : 0.0;
    }
}

// Ends a step accepted after one solve with the diagonal's share of the next
// correction, b_k / J_kk, in place of a second solve: b is left only at the
// junctions' rows, where the capacitance's C a0**2 dominates J's row, so this
// removes most of what the first solve left.  Without it that remainder leans
// one way at each switching and shifts a periodic junction by a steady lag.
void Transient::finish_with_diagonal(double* x, double a0) noexcept {
    const double* b = b_.data();
    const double* inverse = diagonal_inverse_.data();
    double *dx = dx_.data(), *ddx = ddx_.data();
    const double a0_squared = a0 * a0;
    for (int32_t k = 0; k < n_; ++k) {
        const double d = b[k] * inverse[k];
        x[k] += d;
        dx[k] += d * a0;
        ddx[k] += d * a0_squared;
    }
}

// b at the iterate just corrected by the d in B (see above).
void Transient::update_residual() {
    const double start = options_.profile ? now() : 0.0;
    if (models_changes_) {
        // each model adds bn(x + d) - bn(x) + M d of its own terminals
        zero(residual_);
        nonlinear_changes(strided(residual_), b_.data());
        b_.swap(residual_);
        if (options_.profile)
            stats_.kernel_seconds += now() - start;
        return;
    }
    zero(bn_next_);
    nonlinear_currents(strided(bn_next_));
    // scratch_ holds M d (n entries of it) while B still holds d
    double* md = scratch_.data();
    std::fill(md, md + n_, 0.0);
    const double* d = b_.data();
    for (size_t e = 0; e < kept_value_.size(); ++e)
        md[kept_row_[e]] += kept_value_[e] * d[kept_col_[e]];
    for (int32_t k = 0; k < n_; ++k)
        b_[k] = bn_next_[k] - bn_[k] + md[k];
    bn_.swap(bn_next_);
    if (options_.profile)
        stats_.kernel_seconds += now() - start;
}

// The size of the correction that b would give against abstol, estimated row
// by row as b_k / J_kk and doubled: max 2 |b_k / J_kk| / abstol.  reltol is
// left out: a single solve accepted against it let errors that all lean one
// way pile up on large phases.  b is the residual left by a correction with
// the kept matrix, which solves the linear elements' share exactly: it is
// nonzero only in the rows of the models with phase terms, junction nodes
// where the capacitance dominates J's row.  A row with b_k but no diagonal to
// divide by cannot be judged: infinity.
double Transient::next_correction_estimate() const noexcept {
    return lanes::largest_weighted(b_.data(), estimate_weight_.data(), n_);
}

// Whether the first solve of a step is enough: the next correction, estimated
// (doubled) against abstol, within single_solve_fraction of the largest local
// error of the step (0 before the error estimate has the levels it needs).
// As in a linearly implicit step, the junctions' share of that correction is
// second order in the prediction's error; an error of the prediction larger
// than the step's local error leaves more and iterates on.
bool Transient::single_solve_enough(double next, double local_error) const noexcept {
    return local_error > 0.0 && next * abstol_ <= options_.single_solve_fraction * local_error;
}

// Whether an iteration that contracts by `rate` a correction, and whose last
// correction had the weighted size `norm`, has at most the tolerance left:
// the corrections still to come add up to norm rate / (1 - rate).
bool Transient::remainder_small(double norm, double rate) noexcept {
    return rate < 1.0 && norm * rate <= 1.0 - rate;
}

// A step of the chord iteration.  A correction from the Jacobian of the
// iterate it corrects (a Newton step) converges when it obeys the tolerance
// abstol + reltol |x|, as in the Python driver.  A correction from a kept
// matrix converges linearly: the error left after it is bounded through the
// contraction rate, measured from successive corrections of one matrix, and
// must obey the tolerance.  After each correction the next one is estimated
// from the residual without a solve; when that estimate, over one minus the
// rate it implies, obeys abstol + reltol |x|, the step ends there: most steps
// away from a switching junction end after one solve.  With newton_fraction
// (default tolerances only) the measured corrections are judged against the
// tolerance plus that fraction of the step's own local error.  A slow rate, a
// new step size or a changed piece refactors.
//
// Two looser tests were measured and dropped: a rate carried over from earlier
// steps misjudged the kept matrix while junctions switch, and accepting a
// single solve against reltol let errors that all lean one way pile up (a
// running junction's phase: a local error that changes sign over a period
// largely cancels, a Newton error of one sign does not).  Accepting it against
// the local error (single_solve_fraction) is an option, off by default: it
// moves the trajectories of small test circuits by 5 to 9 % of their
// integration error, and that of a gap junction crossing its gap by all of it.
//
// Why one solve leaves more than abstol: where a pulse passes, the prediction
// is off by about three times the step's own local error (0.06 rad in 0.25 ps
// steps of a JTL; an extrapolation through the last four levels does no
// better), and the kept matrix contracts that by 0.02 to 0.04, leaving about
// 1e6 abstol.
Transient::StepStatus Transient::chord_step(double h, double a0, int old) {
    double* x = levels_[xind_].data();
    if (!built_ || a0 != built_a0_) {
        build_step_terms();
        built_a0_ = a0;
        built_ = true;
        jacobian_stale_ = true;
        ++stats_.matrix_builds;
    }
    full_rhs();
    // the kept matrix is the Jacobian at the iterate the next solve corrects
    bool newton = jacobian_stale_;
    if (jacobian_stale_ && !refresh_jacobian()) {
        give_up_step(old);
        failure_.iterations = 1;
        return StepStatus::singular;
    }
    StepStatus status = StepStatus::no_convergence;
    double slack = 0.0, local_error = 0.0, previous_norm = 0.0;
    // the error estimate needs three accepted levels, the last two steps
    const bool judged_by_error =
        options_.newton_fraction > 0.0 && steps_taken_ >= 3 && h_prev_ > 0.0 && h_prev2_ > 0.0;
    int32_t iteration = 1;
    for (; iteration <= options_.max_iterations; ++iteration) {
        factor_and_solve(nullptr, false);
        double norm;
        if (iteration == 1 && judged_by_error) {
            const bool finite = add_correction(x, a0);
            local_error = weighted_error(h, a0, nullptr, 1.0, 0.0);
            slack = options_.newton_fraction * local_error;
            norm = finite ? largest_ratio(b_.data(), x, slack)
                          : std::numeric_limits<double>::quiet_NaN();
        } else {
            norm = apply_correction(x, a0, slack);
        }
        if (!std::isfinite(norm)) {
            status = StepStatus::not_finite;
            find_non_finite_models();
            break;
        }
        // the rate of this matrix, from its last two corrections
        const bool rate_known = previous_norm > 0.0;
        const double rate = rate_known ? norm / previous_norm : 1.0;
        if (newton ? norm <= 1.0 : remainder_small(norm, rate)) {
            status = StepStatus::ok;
            break;
        }
        // The next correction, estimated, and the rate it implies: what is
        // left after this correction is next / (1 - rate).
        update_residual();
        const double next = next_correction_estimate();
        const double implied = std::max(rate_known ? rate : 0.0, next / norm);
        if (iteration == 1 && single_solve_enough(next, local_error)) {
            finish_with_diagonal(x, a0);
            status = StepStatus::ok;
            break;
        }
        if (implied < 1.0 && next <= kEstimateShare * (1.0 - implied)) {
            status = StepStatus::ok;
            break;
        }
        previous_norm = norm;
        newton = false;
        if (rate_known && rate > kSlowRate) {
            if (!refresh_jacobian()) {
                status = StepStatus::singular;
                break;
            }
            newton = true;
            previous_norm = 0.0; // the next correction comes from another matrix
        }
    }
    return close_iterations(status, old, iteration);
}

// At the unknowns whose voltage no model reads, the trapezoidal rule's V and dV
// would carry any error on, flipping sign each step (after a source's corner,
// a ripple that never decays); BDF2's formula takes them from the levels
// instead.  Nothing of the step depended on them.
void Transient::smooth_voltage_free() noexcept {
    const double a0 = bdf2_[0], a1 = bdf2_[1], a2 = bdf2_[2];
    const double* x = levels_[xind_].data();
    const double* x_prev = levels_[(xind_ + 2) % 3].data();
    const double* x_prev2 = levels_[(xind_ + 1) % 3].data();
    for (const int32_t k : voltage_free_) {
        const double v = (x[k] - x_prev[k]) * a0 + a2 * (x_prev2[k] - x_prev[k]);
        dx_[static_cast<size_t>(k)] = v;
        ddx_[static_cast<size_t>(k)] =
            (v * a0 + a1 * v1_[static_cast<size_t>(k)]) + a2 * v2_[static_cast<size_t>(k)];
    }
}

// The deferred advances of the step accepted last, for a caller that looks at
// the models between runs.
void Transient::catch_up() noexcept {
    if (!deferred_due_)
        return;
    deferred_due_ = false;
    StepContext ctx{};
    ctx.phases = levels_[xind_].data();
    ctx.voltages = v1_.data(); // the accepted level's, since the history turned
    for (ElementModelObject* m : deferred_) {
        m->ops->advance(m, ctx);
        if (m->ops->terms_changed(m))
            jacobian_stale_ = true;
    }
}

// Publishes the converged level to the models and shifts the history.
void Transient::accept(double h) {
    const size_t bytes = static_cast<size_t>(n_) * sizeof(double);
    if (trapezoidal_step_)
        smooth_voltage_free();
    // x_{n-2} of the level just accepted is x_{n-3} of the next step (read
    // only by the local error estimates).
    if (estimates_error_)
        std::memcpy(x3_.data(), levels_[(xind_ + 1) % 3].data(), bytes);
    std::memcpy(shared_.node_phase, levels_[xind_].data(), bytes);
    std::memcpy(shared_.node_voltage, dx_.data(), bytes);
    std::memcpy(shared_.node_dvoltage, ddx_.data(), bytes);
    StepContext ctx{};
    ctx.smooth_factor = ctx_.smooth_factor;
    ctx.time_step = h;
    ctx.phase_hysteresis = options_.phase_hysteresis;
    const double start = options_.profile ? now() : 0.0;
    for (ElementModelObject* m : with_values_)
        m->ops->values(m, ctx);
    for (ElementModelObject* m : with_phase_reports_)
        m->ops->report_phase(m, ctx);
    ctx.phases = levels_[xind_].data();
    ctx.voltages = dx_.data();
    ctx.voltages_deriv = ddx_.data();
    for (ElementModelObject* m : with_advance_)
        m->ops->advance(m, ctx);
    for (ElementModelObject* m : with_jumps_)
        if (m->ops->terms_changed(m))
            jacobian_stale_ = true;
    deferred_due_ = !deferred_.empty();
    if (options_.profile)
        stats_.kernel_seconds += now() - start;
    // the next prediction writes the whole of dx_ and ddx_
    v2_.swap(v1_);
    v1_.swap(dx_);
    dv2_.swap(dv1_);
    dv1_.swap(ddx_);
    ++stats_.steps;
    ++steps_taken_;
}

double Transient::linear_algebra_floor(int32_t repeats) {
    if (!built_ || solver_.factorisations() == 0)
        return -1.0;
    const std::vector<double>& values = options_.nonlinear ? ax_ : a01_;
    std::vector<double> rhs(b_.size());
    const double start = now();
    for (int32_t k = 0; k < repeats; ++k) {
        std::fill(rhs.begin(), rhs.end(), 1.0);
        solver_.factor(values.data());
        solver_.solve(rhs.data());
    }
    return (now() - start) / repeats;
}

double Transient::solve_floor(int32_t repeats) {
    if (!built_ || solver_.factorisations() == 0)
        return -1.0;
    std::vector<double> rhs(b_.size());
    const double start = now();
    for (int32_t k = 0; k < repeats; ++k) {
        std::fill(rhs.begin(), rhs.end(), 1.0);
        solver_.solve_with_klu(rhs.data());
    }
    return (now() - start) / repeats;
}

} // namespace loxant::engine
