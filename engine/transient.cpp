#include "engine/transient.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

namespace loxant::engine {

namespace {

constexpr double kPi = 3.141592653589793;
// A modified Newton iteration whose corrections shrink slower than this
// refactors at the present iterate.
constexpr double kSlowRate = 0.125;
// With the tolerances given by the caller (newton_fraction 0), the error a
// step's iteration leaves is bounded by this fraction of abstol + reltol |x|.
// The reference, the Python driver's Newton iteration, ends far below its
// tolerance (its last correction squares); an iteration on a kept matrix
// converges linearly and its error keeps one sign from step to step, so that
// it adds up: bounded by the tolerance itself it moved a gap junction's
// trajectory by 1e5 times that tolerance.
constexpr double kCallerMargin = 1e-3;
// The share of the tolerance that an estimated error left may use.
constexpr double kEstimateShare = 0.5;
// Relative size of the rounding in a sum of phases: a tolerance below it
// could never be met.
constexpr double kRounding = 4.0 * std::numeric_limits<double>::epsilon();

DoubleArray strided(std::vector<double>& v) noexcept {
    return DoubleArray{reinterpret_cast<char*>(v.data()), sizeof(double)};
}

void zero(std::vector<double>& v) noexcept {
    std::fill(v.begin(), v.end(), 0.0);
}

// The source factor of loxant.simulation.integrator.smooth_factor.
double smooth_factor(double t, double ramp) noexcept {
    if (ramp <= 0 || t >= ramp)
        return 1.0;
    return 0.5 * (1.0 - std::cos(kPi * t / ramp));
}

} // namespace

Transient::Transient(std::vector<ElementModelObject*> models, const ElementOps& empty, int32_t size,
                     const Options& options, std::vector<Source> sources,
                     std::vector<Channel> channels, std::vector<int32_t> turn_channels,
                     SharedArrays shared)
    : models_(std::move(models)), n_(size), options_(options), sources_(std::move(sources)),
      channels_(std::move(channels)), turn_channels_(std::move(turn_channels)), shared_(shared) {
    const size_t n = static_cast<size_t>(n_);
    // one more entry, always 0, stands for ground in the flat branch sums
    for (std::vector<double>& level : levels_)
        level.assign(n + 1, 0.0);
    for (std::vector<double>* v : {&dx_, &ddx_, &v1_, &v2_, &dv1_, &dv2_, &b_})
        v->assign(n + 1, 0.0);
    h_ = options_.dt;
    x3_.assign(n, 0.0);
    const double margin = options_.newton_fraction > 0.0 ? 1.0 : kCallerMargin;
    abstol_ = margin * options_.abstol;
    reltol_ = margin * options_.reltol + kRounding;
    for (const Source& s : sources_)
        calls_python_ |= s.waveform->calls_python();
    // Lines of equal sources (a bias into every stage) evaluate their waveform once.
    for (size_t k = 1; k < sources_.size(); ++k)
        sources_[k].same_as_previous =
            sources_[k].waveform->same_values_as(*sources_[k - 1].waveform);
    const std::vector<bool> recorded = recorded_elements();
    // The chord iteration updates the currents of the models without phase
    // terms from the correction, which needs the others to stamp nothing
    // constant (their share of the kept matrix is rebuilt from A1 and A2).
    // An adaptive step changes the matrix every step and judges each step by
    // its local error: it keeps the plain iteration.
    chord_ = options_.nonlinear && options_.modified_newton && !options_.steps_history &&
             !options_.adaptive;
    for (ElementModelObject* m : models_) {
        const bool phase_terms = m->ops->admitance2 != empty.admitance2;
        if (phase_terms) {
            with_a2_.push_back(m);
            chord_ = chord_ && m->ops->admitance0 == empty.admitance0;
        }
        if (m->ops->rhs_current != empty.rhs_current) {
            with_rhs_.push_back(m);
            (phase_terms ? rhs_nonlinear_ : rhs_affine_).push_back(m);
        }
        if (m->ops->values != empty.values) {
            if (reports_to_recording(m, recorded))
                with_values_.push_back(m);
            else if (m->ops->keeps_state)
                (m->ops->advance != nullptr ? with_advance_ : with_values_).push_back(m);
        }
        if (m->ops->terms_changed != nullptr && m->ops->values != empty.values)
            with_jumps_.push_back(m);
    }
    split_flat_branches();
    for (std::vector<double>* v : {&bn_, &bn_next_, &estimate_weight_})
        v->assign(n, 0.0);
}

// The chord iteration sums the currents of the linear branches over flat
// arrays; the other affine models it calls.  Not when Python code runs in the
// loop: it might change a model's parameters.
void Transient::split_flat_branches() {
    for (ElementModelObject* m : rhs_affine_) {
        if (!chord_ || calls_python_ || m->ops->linear_branch == nullptr) {
            rhs_affine_calls_.push_back(m);
            continue;
        }
        LinearBranch branch{};
        m->ops->linear_branch(m, branch);
        FlatBranches& flat = flat_[static_cast<size_t>(branch.quantity)];
        flat.i.push_back(branch.i == 0 ? n_ : branch.i - 1);
        flat.j.push_back(branch.j == 0 ? n_ : branch.j - 1);
        flat.g.push_back(branch.conductance);
    }
}

// The elements some channel reads, by element index.
std::vector<bool> Transient::recorded_elements() const {
    std::vector<bool> recorded;
    const auto mark = [&recorded](int32_t e) {
        if (static_cast<size_t>(e) >= recorded.size())
            recorded.resize(static_cast<size_t>(e) + 1, false);
        recorded[static_cast<size_t>(e)] = true;
    };
    for (const Channel& c : channels_)
        if (c.quantity != Quantity::node_phase && c.quantity != Quantity::node_voltage)
            mark(c.index);
    for (int32_t e : turn_channels_)
        mark(e);
    return recorded;
}

// Values writes the element arrays, which this loop reads to record and
// nothing else: it runs for the recorded elements, for a model without an
// element index, and for every model when Python code runs in the loop (a
// waveform may read the arrays) or some model keeps a history.  A model that
// advances its own state in Values is stepped all the same, through its
// advance operation where it has one.
bool Transient::reports_to_recording(const ElementModelObject* m,
                                     const std::vector<bool>& recorded) const noexcept {
    const int32_t e = m->book->reach.eindex;
    return options_.steps_history || calls_python_ || e < 0 ||
           (static_cast<size_t>(e) < recorded.size() && recorded[static_cast<size_t>(e)]);
}

void Transient::set_noise_models(std::vector<ElementModelObject*> models) {
    noise_models_ = std::move(models);
    const size_t n = static_cast<size_t>(n_);
    for (std::vector<double>* v :
         {&noise_now_, &noise_history_[0], &noise_history_[1], &noise_history_[2], &noise_shift_})
        v->assign(noise_models_.empty() ? 0 : n, 0.0);
}

bool Transient::prepare(const int32_t* col_ptr, const int32_t* row_idx, const double* a0) {
    nnz_ = col_ptr[n_];
    const size_t nnz = static_cast<size_t>(nnz_);
    a0_.assign(a0, a0 + nnz);
    for (std::vector<double>* v : {&a1_, &a2_, &a01_, &ax_, &scratch_})
        v->assign(nnz, 0.0);
    row_of_.assign(row_idx, row_idx + nnz);
    col_of_.resize(nnz);
    diagonal_.assign(static_cast<size_t>(n_), -1);
    // the kept share is refilled at every refactorisation, never reallocated
    kept_row_.reserve(nnz);
    kept_col_.reserve(nnz);
    kept_value_.reserve(nnz);
    for (int32_t c = 0; c < n_; ++c)
        for (int32_t p = col_ptr[c]; p < col_ptr[c + 1]; ++p) {
            col_of_[static_cast<size_t>(p)] = c;
            if (row_idx[p] == c)
                diagonal_[static_cast<size_t>(c)] = p;
        }
    return solver_.analyse(n_, col_ptr, row_idx);
}

double Transient::now() const noexcept {
    using clock = std::chrono::steady_clock;
    return std::chrono::duration<double>(clock::now().time_since_epoch()).count();
}

// ---- one step ----------------------------------------------------------------------

void Transient::update_sources(double t) {
    double w = 0.0;
    for (Source& s : sources_) {
        if (!s.same_as_previous)
            w = s.waveform->evaluate(t);
        *s.value = s.sign * w;
    }
}

// The new level from the last one, its voltage, its voltage derivative and
// (degree 3) the change of that derivative over the last step: the Taylor
// polynomial of the solution the BDF2 estimates describe.  Then the estimates
// V and dV of the formula at that level.
void Transient::predict(double h, double h_prev, double a0, double a1, double a2) {
    const int old = xind_, fresh = (old + 1) % 3;
    const double* x_prev = levels_[old].data();
    const double* x_prev2 = levels_[(old + 2) % 3].data();
    double* x = levels_[fresh].data();
    double *dx = dx_.data(), *ddx = ddx_.data();
    const double *v1 = v1_.data(), *v2 = v2_.data(), *dv1 = dv1_.data(), *dv2 = dv2_.data();
    const double half_h2 = 0.5 * h * h;
    const double cubic = options_.predictor_degree >= 3 && h_prev > 0 && steps_taken_ >= 2
                             ? h * h * h / (6.0 * h_prev)
                             : 0.0;
    for (int32_t k = 0; k < n_; ++k) {
        x[k] = x_prev[k] + h * v1[k] + half_h2 * dv1[k] + cubic * (dv1[k] - dv2[k]);
        // a1 = -(a0 + a2): written with differences, large phases do not cancel
        double v = (x[k] - x_prev[k]) * a0;
        if (a2 != 0.0)
            v += a2 * (x_prev2[k] - x_prev[k]);
        dx[k] = v;
        double dv = v * a0;
        dv += a1 * v1[k];
        if (a2 != 0.0)
            dv += a2 * v2[k];
        ddx[k] = dv;
    }
    xind_ = fresh;
    ctx_.phases = x;
    ctx_.phases_prev = x_prev;
    ctx_.voltages = dx;
    ctx_.voltages_deriv = ddx;
    ctx_.voltages_prev = v1;
}

// Step terms (when `rebuild`), phase terms and right-hand side at the present iterate.
void Transient::assemble(bool rebuild) {
    const double start = options_.profile ? now() : 0.0;
    zero(a2_);
    zero(b_);
    const DoubleArray a2 = strided(a2_), b = strided(b_);
    if (rebuild) {
        zero(a1_);
        const DoubleArray a1 = strided(a1_);
        // Each model sees its three slots in this order, as in BuildMatrix.
        for (ElementModelObject* m : models_) {
            m->ops->admitance1(m, a1, ctx_);
            m->ops->admitance2(m, a2, ctx_);
            m->ops->rhs_current(m, b, ctx_);
        }
        for (int32_t p = 0; p < nnz_; ++p)
            a01_[p] = a0_[p] + a1_[p];
    } else {
        for (ElementModelObject* m : with_a2_)
            m->ops->admitance2(m, a2, ctx_);
        for (ElementModelObject* m : with_rhs_)
            m->ops->rhs_current(m, b, ctx_);
    }
    if (options_.profile)
        stats_.kernel_seconds += now() - start;
}

void Transient::update_rhs_only() {
    const double start = options_.profile ? now() : 0.0;
    zero(b_);
    const DoubleArray b = strided(b_);
    for (ElementModelObject* m : with_rhs_)
        m->ops->rhs_current(m, b, ctx_);
    if (options_.profile)
        stats_.kernel_seconds += now() - start;
}

bool Transient::factor_and_solve(double* values, bool refactor) {
    const double start = options_.profile ? now() : 0.0;
    bool ok = !refactor || solver_.factor(values);
    if (ok) {
        solver_.solve(b_.data());
        ++stats_.solves;
    }
    if (options_.profile)
        stats_.solver_seconds += now() - start;
    return ok;
}

namespace {

// True if no value is an infinity or a NaN: an integer test of the exponent
// bits, which the compiler vectorises.
bool all_finite(const double* values, int32_t n) noexcept {
    constexpr uint64_t exponent = 0x7ff0000000000000ULL;
    uint64_t bad = 0;
    for (int32_t k = 0; k < n; ++k) {
        uint64_t bits;
        std::memcpy(&bits, &values[k], sizeof bits);
        bad |= static_cast<uint64_t>((bits & exponent) == exponent);
    }
    return bad == 0;
}

} // namespace

// Adds the correction in B to the phases and to their V and dV estimates
// (linear in the phase: d/dphi = a0 and a0**2), and returns
// max |delta| / (abstol + slack + reltol |x|), at most 1 when every correction
// obeys the tolerance.  A correction that is not finite is not applied (the
// iterate stays as the models saw it) and NaN is returned.
double Transient::apply_correction(double* x, double a0, double slack) noexcept {
    if (!add_correction(x, a0))
        return std::numeric_limits<double>::quiet_NaN();
    return largest_ratio(b_.data(), x, slack);
}

// The first half of apply_correction: false, and nothing changed, if the
// correction is not finite.
bool Transient::add_correction(double* x, double a0) noexcept {
    const double* b = b_.data();
    if (!all_finite(b, n_))
        return false;
    double *dx = dx_.data(), *ddx = ddx_.data();
    for (int32_t k = 0; k < n_; ++k) {
        const double d = b[k];
        x[k] += d;
        double work = d * a0;
        dx[k] += work;
        work *= a0;
        ddx[k] += work;
    }
    return true;
}

// max |delta| / (abstol + slack + reltol |x|) over the unknowns, in four lanes
// that the compiler vectorises (no value is a NaN here).
double Transient::largest_ratio(const double* delta, const double* x, double slack) const noexcept {
    const double abstol = abstol_ + slack, reltol = reltol_;
    double lane[4] = {0.0, 0.0, 0.0, 0.0};
    int32_t k = 0;
    for (; k + 4 <= n_; k += 4)
        for (int32_t l = 0; l < 4; ++l) {
            const double r = std::fabs(delta[k + l]) / (std::fabs(x[k + l]) * reltol + abstol);
            lane[l] = r > lane[l] ? r : lane[l];
        }
    for (; k < n_; ++k)
        lane[0] = std::max(lane[0], std::fabs(delta[k]) / (std::fabs(x[k]) * reltol + abstol));
    return std::max(std::max(lane[0], lane[1]), std::max(lane[2], lane[3]));
}

// Only on the failure path: assembles each model alone at the present iterate
// (into the step's scratch arrays, rebuilt when the step is retried) and keeps
// those whose terms are not finite, so the error can name them.
void Transient::find_non_finite_models() {
    failure_.non_finite_models.clear();
    const DoubleArray a1 = strided(a1_), a2 = strided(a2_), b = strided(b_);
    for (size_t k = 0; k < models_.size(); ++k) {
        ElementModelObject* m = models_[k];
        zero(a1_);
        zero(a2_);
        zero(b_);
        m->ops->admitance1(m, a1, ctx_);
        m->ops->admitance2(m, a2, ctx_);
        m->ops->rhs_current(m, b, ctx_);
        bool finite = true;
        for (const std::vector<double>* v : {&a1_, &a2_, &b_})
            for (double value : *v)
                finite = finite && std::isfinite(value);
        if (!finite)
            failure_.non_finite_models.push_back(static_cast<int32_t>(k));
    }
}

Transient::StepStatus Transient::step(double t, double h, bool has_prev, double h_prev,
                                      Host& host) {
    double a0, a1, a2;
    if (!has_prev) {
        a0 = 1.0 / h, a1 = -1.0 / h, a2 = 0.0;
    } else {
        const double w = h / h_prev;
        a0 = (1.0 + 2.0 * w) / (h * (1.0 + w));
        a1 = -(1.0 + w) / h;
        a2 = w * w / (h * (1.0 + w));
    }
    ctx_.coeff_dt = a0;
    ctx_.coeff_ddt = a0 * a0;
    ctx_.time_step = h;
    const double t_new = t + h;
    ctx_.smooth_factor = smooth_factor(t_new, options_.initial_ramp);
    update_sources(t_new);
    if (calls_python_ && !host.models_still_fit())
        return StepStatus::stopped;

    const int old = xind_;
    predict(h, has_prev ? h_prev : 0.0, a0, a1, a2);
    if (chord_)
        return chord_step(h, a0, old);
    double* x = levels_[xind_].data();
    const bool nonlinear = options_.nonlinear;
    const bool rebuild = options_.steps_history || !built_ || a0 != built_a0_;
    if (rebuild) {
        assemble(true);
        built_a0_ = a0;
        built_ = true;
        linear_factored_ = false;
        ++stats_.matrix_builds;
    } else if (nonlinear) {
        assemble(false);
    } else {
        update_rhs_only();
    }

    StepStatus status = StepStatus::no_convergence;
    int32_t iteration = 1;
    bool fresh_jacobian = true; // A2 was assembled at the present iterate
    double previous_norm = 0.0;
    for (; iteration <= options_.max_iterations; ++iteration) {
        bool ok;
        if (nonlinear && fresh_jacobian) {
            for (int32_t p = 0; p < nnz_; ++p)
                ax_[p] = a01_[p] + a2_[p];
            ok = factor_and_solve(ax_.data(), true);
        } else if (nonlinear) {
            ok = factor_and_solve(nullptr, false);
        } else {
            ok = factor_and_solve(a01_.data(), !linear_factored_);
            linear_factored_ = ok;
        }
        if (!ok) {
            status = StepStatus::singular;
            break;
        }
        // One pass: apply the correction, check it and measure it.
        const double norm = apply_correction(x, a0);
        if (!std::isfinite(norm)) {
            status = StepStatus::not_finite;
            find_non_finite_models();
            break;
        }
        if (!nonlinear) {
            status = StepStatus::ok;
            break;
        }
        // A Newton step converged when its correction obeys the tolerance; a
        // correction from a kept factorisation when the rate at which
        // corrections shrink bounds the error left after it by the tolerance.
        // The rate alone may do for a Newton step, and the correction need not
        // be small itself, but not for models that keep a history: they
        // commit the state of the last iterate they saw, before the last
        // correction, which must then be small itself.
        const bool rate_known = iteration > 1 && previous_norm > 0;
        const double rate = rate_known ? norm / previous_norm : 0.0;
        const bool bounded = rate_known && remainder_small(norm, rate);
        const bool rate_suffices = options_.rate_test && !options_.steps_history;
        if (fresh_jacobian ? norm <= 1.0 || (rate_suffices && bounded)
                           : bounded && (rate_suffices || norm <= 1.0)) {
            status = StepStatus::ok;
            break;
        }
        previous_norm = norm;
        // A kept factorisation needs only the currents, except from models
        // that keep a history (TJM): their Admitance2 computes the state that
        // their current reads.
        fresh_jacobian = !options_.modified_newton || rate > kSlowRate;
        if (fresh_jacobian || options_.steps_history)
            assemble(false);
        else
            update_rhs_only();
    }
    if (status != StepStatus::ok) {
        give_up_step(old);
        failure_.iterations = std::min(iteration, options_.max_iterations);
        return status;
    }
    stats_.iterations += iteration;
    stats_.max_iterations = std::max<int64_t>(stats_.max_iterations, iteration);
    return status;
}

// A step that failed: back to the last accepted level; the next try starts
// from a fresh matrix and factorisation.
void Transient::give_up_step(int old) noexcept {
    xind_ = old;
    built_ = false;
    linear_factored_ = false;
    jacobian_stale_ = true;
    solver_.forget();
}

// ---- the chord iteration ------------------------------------------------------------
//
// With J the kept matrix, M its share from the models with phase terms (their
// A1 and A2 when it was factored) and bn their currents, a correction d that
// solved J d = b(x) leaves, at x + d,
//   b(x + d) = bn(x + d) - bn(x) + M d,
// since the other models' currents are affine in x with derivative J - M.  So
// an iteration calls only the models with phase terms; the others run once a
// step, at the predictor.

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

// b at the present iterate from every model; bn from those with phase terms.
void Transient::full_rhs() {
    const double start = options_.profile ? now() : 0.0;
    zero(bn_);
    const DoubleArray b = strided(b_), bn = strided(bn_);
    for (ElementModelObject* m : rhs_nonlinear_)
        m->ops->rhs_current(m, bn, ctx_);
    std::memcpy(b_.data(), bn_.data(), static_cast<size_t>(n_) * sizeof(double));
    b_[static_cast<size_t>(n_)] = 0.0;
    for (ElementModelObject* m : rhs_affine_calls_)
        m->ops->rhs_current(m, b, ctx_);
    add_flat_branches();
    if (options_.profile)
        stats_.kernel_seconds += now() - start;
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
    zero(scratch_);
    const DoubleArray a2 = strided(a2_), own = strided(scratch_);
    for (ElementModelObject* m : with_a2_) {
        m->ops->admitance2(m, a2, ctx_);
        m->ops->admitance1(m, own, ctx_);
    }
    kept_row_.clear();
    kept_col_.clear();
    kept_value_.clear();
    for (int32_t p = 0; p < nnz_; ++p) {
        ax_[p] = a01_[p] + a2_[p];
        const double value = scratch_[p] + a2_[p];
        if (value != 0.0) {
            kept_row_.push_back(row_of_[p]);
            kept_col_.push_back(col_of_[p]);
            kept_value_.push_back(value);
        }
    }
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
    }
}

// b at the iterate just corrected by the d in B (see above).
void Transient::update_residual() {
    const double start = options_.profile ? now() : 0.0;
    zero(bn_next_);
    const DoubleArray next = strided(bn_next_);
    for (ElementModelObject* m : rhs_nonlinear_)
        m->ops->rhs_current(m, next, ctx_);
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
    const double *b = b_.data(), *weight = estimate_weight_.data();
    double largest = 0.0;
    for (int32_t k = 0; k < n_; ++k) {
        if (b[k] == 0.0)
            continue;
        const double ratio = std::fabs(b[k]) * weight[k];
        if (!(ratio <= largest)) // a NaN counts as infinite
            largest = std::isnan(ratio) ? std::numeric_limits<double>::infinity() : ratio;
    }
    return largest;
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
// single solve against the local error or reltol let errors that all lean one
// way pile up; either moved trajectories by 10 to 45 % of their integration
// error (a running junction's phase: a local error that changes sign over a
// period largely cancels, a Newton error of one sign does not).
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
    double slack = 0.0, previous_norm = 0.0;
    // the error estimate needs three accepted levels, the last two steps
    const bool judged_by_error =
        options_.newton_fraction > 0.0 && steps_taken_ >= 3 && h_prev_ > 0.0 && h_prev2_ > 0.0;
    int32_t iteration = 1;
    for (; iteration <= options_.max_iterations; ++iteration) {
        factor_and_solve(nullptr, false);
        double norm;
        if (iteration == 1 && judged_by_error) {
            const bool finite = add_correction(x, a0);
            slack = options_.newton_fraction * weighted_error(h, a0, nullptr, 1.0, 0.0);
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
    if (status != StepStatus::ok) {
        give_up_step(old);
        failure_.iterations = std::min(iteration, options_.max_iterations);
        return status;
    }
    stats_.iterations += iteration;
    stats_.max_iterations = std::max<int64_t>(stats_.max_iterations, iteration);
    return status;
}

// Publishes the converged level to the models and shifts the history.
void Transient::accept(double h) {
    const size_t bytes = static_cast<size_t>(n_) * sizeof(double);
    // x_{n-2} of the level just accepted is x_{n-3} of the next step.
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
    ctx.phases = levels_[xind_].data();
    ctx.voltages = dx_.data();
    ctx.voltages_deriv = ddx_.data();
    for (ElementModelObject* m : with_advance_)
        m->ops->advance(m, ctx);
    for (ElementModelObject* m : with_jumps_)
        if (m->ops->terms_changed(m))
            jacobian_stale_ = true;
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
        solver_.solve(rhs.data());
    }
    return (now() - start) / repeats;
}

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
// the difference at a constant step.  The Jacobian's share is neglected.
double Transient::local_error(double h, double a0, const double* shift) const noexcept {
    return weighted_error(h, a0, shift, options_.lte_atol, options_.lte_rtol);
}

// The same as the maximum of |err| / (atol + rtol |x|); `shift`, when given, is
// a part of the step that the predictor cannot know (a noise jump) and is taken
// out of the difference.
double Transient::weighted_error(double h, double a0, const double* shift, double atol,
                                 double rtol) const noexcept {
    const double h1 = h_prev_, h2 = h_prev2_;
    const double l2 = -h * (h + h1 + h2) / (h1 * h2);
    const double l3 = h * (h + h1) / ((h1 + h2) * h2);
    const double c = 1.0 / (1.0 + a0 * (h + h1 + h2));
    const double* x = levels_[xind_].data();
    const double* x1 = levels_[(xind_ + 2) % 3].data();
    const double* x2 = levels_[(xind_ + 1) % 3].data();
    const double* x3 = x3_.data();
    double largest = 0.0;
    for (int32_t k = 0; k < n_; ++k) {
        // differences from x_{n-1}: large phases do not cancel (l1 + l2 + l3 = 1)
        double predicted = (l2 * (x2[k] - x1[k]) + l3 * (x3[k] - x1[k]));
        if (shift != nullptr)
            predicted += shift[k];
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

Outcome Transient::settle(Host& host) {
    if (options_.settle_steps <= 0)
        return Outcome::finished;
    const double h = options_.settle_step;
    ctx_.junction_history_held = true;
    for (int64_t k = options_.settle_steps; k > 0; --k) {
        // from t = -k h to -(k - 1) h, as the peer counts its steps (the last
        // lands on 0); a step that fails is taken in halves
        t_ = -static_cast<double>(k) * h;
        const double end = -static_cast<double>(k - 1) * h;
        double size = h;
        while (end - t_ > 1e-9 * h) {
            size = std::min(size, end - t_);
            const StepStatus status = step(t_, size, has_prev_, h_prev_, host);
            if (status == StepStatus::stopped)
                return Outcome::interrupted;
            if (status != StepStatus::ok) {
                ++stats_.rejected;
                if (size / 2 < options_.dt_min)
                    return fail(status, size);
                size /= 2;
                continue;
            }
            accept(size);
            t_ = size == end - t_ ? end : t_ + size;
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

// The integration starts again at t = 0 from the present state, as a run with
// no start-up period starts from rest: first step of one level, fresh matrix
// and factorisation.
void Transient::restart() noexcept {
    t_ = grid_t_ = 0.0;
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
        record(tables, 0.0);
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
    failure_.reason = status == StepStatus::singular     ? "singular matrix"
                      : status == StepStatus::not_finite ? "non-finite correction"
                      : status == StepStatus::ok         ? "local error above tolerance"
                                                         : "no convergence";
    return Outcome::failed;
}

Outcome Transient::run(const RecordTables& tables, Host& host) {
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
                record(tables, t_);
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
            record(tables, t_);
        // A step cut short by a breakpoint does not shrink the next.
        const double next = step_size * factor;
        h_ = std::min(to_breakpoint ? std::max(next, h_) : next, options_.dt_max);
    }
    return Outcome::finished;
}

} // namespace loxant::engine
