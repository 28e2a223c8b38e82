#include "engine/transient.hpp"

#include "engine/lanes.hpp"
#include "engine/transient_detail.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <unordered_set>

namespace loxant::engine {

using detail::kSlowRate;
using detail::smooth_factor;
using detail::strided;
using detail::zero;

namespace {

// With the tolerances given by the caller (newton_fraction 0), the error a
// step's iteration leaves is bounded by this fraction of abstol + reltol |x|.
// The reference, the Python driver's Newton iteration, ends far below its
// tolerance (its last correction squares); an iteration on a kept matrix
// converges linearly and its error keeps one sign from step to step, so that
// it adds up: bounded by the tolerance itself it moved a gap junction's
// trajectory by 1e5 times that tolerance.
constexpr double kCallerMargin = 1e-3;
// Relative size of the rounding in a sum of phases: a tolerance below it
// could never be met.
constexpr double kRounding = 4.0 * std::numeric_limits<double>::epsilon();

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
    // Python code could change anything between steps: its runs write every
    // source every step.
    if (!calls_python_)
        for (Source& s : sources_)
            s.settles_after = s.waveform->settles_after();
    // Lines of equal sources (a bias into every stage) evaluate their waveform once.
    for (size_t k = 1; k < sources_.size(); ++k)
        sources_[k].same_as_previous =
            sources_[k].waveform->same_values_as(*sources_[k - 1].waveform);
    const std::vector<uint8_t> recorded = recorded_elements();
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
        if (m->ops->values != empty.values)
            sort_by_values(m, recorded);
        if (m->ops->terms_changed != nullptr && m->ops->values != empty.values)
            with_jumps_.push_back(m);
    }
    estimates_error_ = options_.adaptive || (chord_ && options_.newton_fraction > 0.0);
    models_changes_ = chord_ && std::all_of(rhs_nonlinear_.begin(), rhs_nonlinear_.end(),
                                            [](const ElementModelObject* m) {
                                                return m->ops->rhs_change != nullptr;
                                            });
    if (models_changes_)
        defer_advances();
    nonlinear_runs_ = runs_of(rhs_nonlinear_);
    split_flat_branches();
    // the chord iteration's own vectors, empty without it
    for (std::vector<double>* v : {&estimate_weight_, &diagonal_inverse_})
        v->assign(chord_ ? n : 0, 0.0);
    for (std::vector<double>* v : {&bn_, &bn_next_})
        v->assign(chord_ && !models_changes_ ? n : 0, 0.0);
    residual_.assign(models_changes_ ? n + 1 : 0, 0.0);
}

// The chord iteration evaluates every model with phase terms first thing in a
// step: an unrecorded one that can do its advance and terms_changed then
// (advances_when_evaluated) is stepped there, not at the acceptance before.
void Transient::defer_advances() {
    const auto deferred = [](const ElementModelObject* m) {
        return m->ops->advances_when_evaluated;
    };
    std::vector<ElementModelObject*> kept;
    for (ElementModelObject* m : with_advance_)
        (deferred(m) ? deferred_ : kept).push_back(m);
    with_advance_.swap(kept);
    const std::unordered_set<const ElementModelObject*> stepped_later(deferred_.begin(),
                                                                      deferred_.end());
    std::vector<ElementModelObject*> jumps;
    for (ElementModelObject* m : with_jumps_)
        if (stepped_later.count(m) == 0)
            jumps.push_back(m);
    with_jumps_.swap(jumps);
}

// The models cut into runs of consecutive ones of one table.
std::vector<Transient::ModelRun>
Transient::runs_of(const std::vector<ElementModelObject*>& models) {
    std::vector<ModelRun> runs;
    for (size_t k = 0; k < models.size(); ++k) {
        const ElementOps* ops = models[k]->ops;
        if (runs.empty() || runs.back().ops != ops)
            runs.push_back({ops, k, 0});
        ++runs.back().count;
    }
    return runs;
}

// The chord iteration sums the currents of the linear branches over flat
// arrays; the other affine models it calls.  Not when Python code runs in the
// loop: it might change a model's parameters.
void Transient::split_flat_branches() {
    // a linear circuit's step needs only the right-hand side: summed flat too
    const bool flat = chord_ || !options_.nonlinear;
    for (ElementModelObject* m : rhs_affine_) {
        const ElementOps& ops = *m->ops;
        // a block's branches join only the chord iteration's pass: a linear
        // circuit's blocks (a million elements) are no faster so and would
        // be held twice
        const bool block =
            chord_ && ops.linear_branch_at != nullptr && ops.element_indices != nullptr;
        if (!flat || calls_python_ || (ops.linear_branch == nullptr && !block)) {
            rhs_affine_calls_.push_back(m);
            continue;
        }
        LinearBranch branch{};
        if (!block) {
            ops.linear_branch(m, branch);
            add_flat_branch(branch);
            continue;
        }
        Py_ssize_t count = 0;
        ops.element_indices(m, &count);
        for (Py_ssize_t k = 0; k < count; ++k) {
            ops.linear_branch_at(m, k, branch);
            add_flat_branch(branch);
        }
    }
}

void Transient::add_flat_branch(const LinearBranch& branch) {
    FlatBranches& flat = flat_[static_cast<size_t>(branch.quantity)];
    flat.i.push_back(branch.i == 0 ? n_ : branch.i - 1);
    flat.j.push_back(branch.j == 0 ? n_ : branch.j - 1);
    flat.g.push_back(branch.conductance);
}

// The elements some channel reads, by element index.
std::vector<uint8_t> Transient::recorded_elements() const {
    std::vector<uint8_t> recorded;
    const auto mark = [&recorded](int32_t e, uint8_t how) {
        if (static_cast<size_t>(e) >= recorded.size())
            recorded.resize(static_cast<size_t>(e) + 1, 0);
        recorded[static_cast<size_t>(e)] |= how;
    };
    for (const Channel& c : channels_)
        if (c.quantity != Quantity::node_phase && c.quantity != Quantity::node_voltage)
            mark(c.index,
                 c.quantity == Quantity::current ? kRecorded | kCurrentRecorded : kRecorded);
    for (int32_t e : turn_channels_)
        mark(e, kRecorded);
    return recorded;
}

// Which of the loop's lists steps and reports a model with a Values operation.
void Transient::sort_by_values(ElementModelObject* m, const std::vector<uint8_t>& recorded) {
    const bool advances = m->ops->advance != nullptr;
    if (!reports_to_recording(m, recorded)) {
        if (m->ops->keeps_state)
            (advances ? with_advance_ : with_values_).push_back(m);
    } else if (reports_phase_only(m, recorded)) {
        with_phase_reports_.push_back(m);
        if (m->ops->keeps_state)
            with_advance_.push_back(m);
    } else {
        with_values_.push_back(m);
    }
}

// Values writes the element arrays, which this loop reads to record and
// nothing else: it runs for the recorded elements, for a model without an
// element index, and for every model when Python code runs in the loop (a
// waveform may read the arrays) or some model keeps a history.  A model that
// advances its own state in Values is stepped all the same, through its
// advance operation where it has one.
bool Transient::reports_to_recording(const ElementModelObject* m,
                                     const std::vector<uint8_t>& recorded) const noexcept {
    if (options_.steps_history || calls_python_)
        return true;
    const auto is_recorded = [&recorded](int32_t e) {
        return static_cast<size_t>(e) < recorded.size() && recorded[static_cast<size_t>(e)];
    };
    if (m->ops->element_indices != nullptr) { // a block: Values writes all or none
        Py_ssize_t count = 0;
        const int32_t* indices = m->ops->element_indices(m, &count);
        return std::any_of(indices, indices + count, is_recorded);
    }
    const int32_t e = m->book->reach.eindex;
    return e < 0 || is_recorded(e);
}

// A junction recorded by its phase, voltage or turns alone is reported without
// evaluating its law; not where Python reads the arrays, nor a model whose
// state only Values steps.
bool Transient::reports_phase_only(const ElementModelObject* m,
                                   const std::vector<uint8_t>& recorded) const noexcept {
    if (m->ops->report_phase == nullptr || options_.steps_history || calls_python_)
        return false;
    if (m->ops->keeps_state && m->ops->advance == nullptr)
        return false;
    const int32_t e = m->book->reach.eindex;
    return e >= 0 && static_cast<size_t>(e) < recorded.size() &&
           (recorded[static_cast<size_t>(e)] & kCurrentRecorded) == 0;
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
    a1_.assign(nnz, 0.0);
    a01_.assign(nnz, 0.0);
    // A linear circuit's step solves with A0 + A1 alone: the phase terms, their
    // sum with it and the chord iteration's share are held only where used (a
    // million-element linear circuit saves some 60 MB)
    const bool phase_terms = options_.nonlinear || options_.adaptive || !with_a2_.empty();
    a2_.assign(phase_terms ? nnz : 0, 0.0);
    ax_.assign(options_.nonlinear || options_.adaptive ? nnz : 0, 0.0);
    scratch_.assign(chord_ && !models_changes_ ? nnz : 0, 0.0);
    if (chord_)
        index_entries(col_ptr, row_idx);
    // a factorisation pays for its rows over many solves: the chord iteration
    // keeps one for many steps, a linear circuit one for the run; Newton's
    // method and an adaptive step factor for each solve
    solver_.solve_by_rows(chord_ || !options_.nonlinear);
    return solver_.analyse(n_, col_ptr, row_idx);
}

// The diagonal's entries, which the chord iteration's estimates read, and the
// row and column of every entry, which its kept share reads.
void Transient::index_entries(const int32_t* col_ptr, const int32_t* row_idx) {
    diagonal_.assign(static_cast<size_t>(n_), -1);
    for (int32_t c = 0; c < n_; ++c)
        for (int32_t p = col_ptr[c]; p < col_ptr[c + 1]; ++p)
            if (row_idx[p] == c)
                diagonal_[static_cast<size_t>(c)] = p;
    if (models_changes_)
        return; // the models keep their own share of the kept matrix
    const size_t nnz = static_cast<size_t>(nnz_);
    row_of_.assign(row_idx, row_idx + nnz);
    col_of_.resize(nnz);
    for (int32_t c = 0; c < n_; ++c)
        for (int32_t p = col_ptr[c]; p < col_ptr[c + 1]; ++p)
            col_of_[static_cast<size_t>(p)] = c;
    // the kept share is refilled at every refactorisation, never reallocated
    kept_row_.reserve(nnz);
    kept_col_.reserve(nnz);
    kept_value_.reserve(nnz);
}

double Transient::now() const noexcept {
    using clock = std::chrono::steady_clock;
    return std::chrono::duration<double>(clock::now().time_since_epoch()).count();
}

// ---- one step ----------------------------------------------------------------------

// A source whose waveform has settled before the step starts keeps the value
// it was given last (a bias at the top of its ramp); so does a source of the
// same waveform after it, which settles at the same step.
void Transient::update_sources(double t) {
    double w = 0.0;
    for (Source& s : sources_) {
        if (s.settled)
            continue;
        if (!s.same_as_previous)
            w = s.waveform->evaluate(t);
        *s.value = s.sign * w;
        s.settled = t_ > s.settles_after;
    }
}

// The level and the trapezoidal rule's estimates in one pass (the arrays do
// not overlap).
void Transient::predict_trapezoidal(double* __restrict x, double* __restrict dx,
                                    double* __restrict ddx, const double* __restrict x_prev,
                                    double h, double half_h2, double cubic,
                                    double a0) const noexcept {
    const double* __restrict v1 = v1_.data();
    const double* __restrict dv1 = dv1_.data();
    const double* __restrict dv2 = dv2_.data();
    for (int32_t k = 0; k < n_; ++k) {
        const double level = x_prev[k] + h * v1[k] + half_h2 * dv1[k] + cubic * (dv1[k] - dv2[k]);
        x[k] = level;
        const double v = a0 * (level - x_prev[k]) - v1[k];
        dx[k] = v;
        ddx[k] = a0 * (v - v1[k]) - dv1[k];
    }
}

// The new level from the last one, its voltage, its voltage derivative and
// (degree 3) the change of that derivative over the last step: the Taylor
// polynomial of the solution the estimates describe.  Then the estimates V and
// dV of the formula at that level: BDF2's from the levels, or the trapezoidal
// rule's from the last step's, V = a0 (x - x_prev) - V_prev and dV = a0 (V -
// V_prev) - dV_prev with a0 = 2 / h.  Their derivatives in the phase are a0 and
// a0**2 either way, so the models and the corrections treat both alike.
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
    // one loop without branches per formula, so that each vectorises
    if (trapezoidal_step_) {
        predict_trapezoidal(x, dx, ddx, x_prev, h, half_h2, cubic, a0);
    } else {
        for (int32_t k = 0; k < n_; ++k)
            x[k] = x_prev[k] + h * v1[k] + half_h2 * dv1[k] + cubic * (dv1[k] - dv2[k]);
        if (a2 != 0.0) {
            // a1 = -(a0 + a2): written with differences, large phases do not cancel
            for (int32_t k = 0; k < n_; ++k) {
                const double v = (x[k] - x_prev[k]) * a0 + a2 * (x_prev2[k] - x_prev[k]);
                dx[k] = v;
                ddx[k] = (v * a0 + a1 * v1[k]) + a2 * v2[k];
            }
        } else {
            for (int32_t k = 0; k < n_; ++k) {
                const double v = (x[k] - x_prev[k]) * a0;
                dx[k] = v;
                ddx[k] = v * a0 + a1 * v1[k];
            }
        }
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
    // with no flat branches, the models in their own order, as ever: the sum,
    // and so the trajectory, stays the same to the last bit
    if (rhs_affine_calls_.size() == rhs_affine_.size()) {
        for (ElementModelObject* m : with_rhs_)
            m->ops->rhs_current(m, b, ctx_);
    } else {
        nonlinear_currents(b);
        for (ElementModelObject* m : rhs_affine_calls_)
            m->ops->rhs_current(m, b, ctx_);
        add_flat_branches();
    }
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
    if (!lanes::all_finite(b, n_))
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

// max |delta| / (abstol + slack + reltol |x|) over the unknowns (no value is a
// NaN here).
double Transient::largest_ratio(const double* delta, const double* x, double slack) const noexcept {
    return lanes::largest_ratio(delta, x, n_, abstol_ + slack, reltol_);
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
    trapezoidal_step_ = has_prev && options_.trapezoidal && !settling_;
    if (!has_prev) {
        a0 = 1.0 / h, a1 = -1.0 / h, a2 = 0.0;
    } else {
        const double w = h / h_prev;
        a0 = (1.0 + 2.0 * w) / (h * (1.0 + w));
        a1 = -(1.0 + w) / h;
        a2 = w * w / (h * (1.0 + w));
    }
    if (trapezoidal_step_) {
        bdf2_[0] = a0, bdf2_[1] = a1, bdf2_[2] = a2;
        a0 = 2.0 / h, a1 = 0.0, a2 = 0.0;
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
        // One pass: apply the correction, check it and measure it (a linear
        // step is done with its one solve: no need to measure).
        const double norm = nonlinear               ? apply_correction(x, a0)
                            : add_correction(x, a0) ? 0.0
                                                    : std::numeric_limits<double>::quiet_NaN();
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
    return close_iterations(status, old, iteration);
}

// A step that failed: back to the last accepted level; the next try starts
// from a fresh matrix and factorisation.
// Ends a step's iterations: a failed step is given up, with the iterations it
// took; a converged one adds them to the statistics.
Transient::StepStatus Transient::close_iterations(StepStatus status, int old,
                                                  int iteration) noexcept {
    if (status != StepStatus::ok) {
        give_up_step(old);
        failure_.iterations = std::min(iteration, options_.max_iterations);
        return status;
    }
    stats_.iterations += iteration;
    stats_.max_iterations = std::max<int64_t>(stats_.max_iterations, iteration);
    return status;
}

void Transient::give_up_step(int old) noexcept {
    xind_ = old;
    built_ = false;
    linear_factored_ = false;
    jacobian_stale_ = true;
    solver_.forget();
}

} // namespace loxant::engine
