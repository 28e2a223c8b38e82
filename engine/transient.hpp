// The native time loop: variable-step BDF2 with Newton's method, driving every
// element through its model's own operation table and KLU directly.  The
// arithmetic of a step follows the Python driver (loxant.simulation.integrator)
// operation by operation, except for the predictor and the reuse of
// factorisations.
//
// Everything here runs without the interpreter lock unless a source calls
// Python; the caller has checked every index before the loop starts.
#pragma once

#include "engine/linear_solver.hpp"
#include "engine/stop_rule.hpp"
#include "engine/waveform.hpp"
#include "kernel/models/element_model.hpp"

#include <chrono>
#include <limits>
#include <memory>
#include <utility>
#include <vector>

namespace loxant::engine {

struct Options {
    double t_stop = 0.0, dt = 0.0, dt_min = 0.0;
    // Every run gives these (the caller holds their defaults).
    double abstol = 0.0, reltol = 0.0;
    int32_t max_iterations = 0;
    double initial_ramp = 0.0;
    double phase_hysteresis = 0.0;
    int64_t record_every = 1;
    double record_from = 0.0;
    bool nonlinear = true;      // some element's matrix terms depend on the phases
    bool steps_history = false; // some element keeps a history: rebuild every step
    // some model's Values advances its own state (a held piece, a line's
    // history, the next noise value): every Values runs every step
    bool values_every_step = false;
    bool profile = false;     // time kernels and linear algebra apart
    double pause_every = 0.1; // seconds between calls of Host::pause
    // Newton: later iterations of a step reuse the factorisation of its first
    // while the corrections shrink fast; convergence may be judged from the
    // rate at which they shrink; the predictor's degree (2 or 3).
    bool modified_newton = true;
    bool rate_test = true;
    int32_t predictor_degree = 3;
    // Fixed step: Newton also stops once the error left is below this
    // fraction of the step's own local error (the BDF2 error estimate of the
    // adaptive step, from the first iterate), for the default tolerances; 0
    // bounds the error by a thousandth of abstol + reltol |x|, so that the
    // results agree with the Python driver's full Newton iteration.
    double newton_fraction = 0.0;
    // Fixed step, default tolerances: a step ends after its first solve when
    // the correction still to come, estimated from the residual, is at most
    // this fraction of the step's own local error (0: never on that ground).
    double single_solve_fraction = 0.0;
    // Fixed step: the trapezoidal rule after the first step instead of BDF2
    // (for the voltage from the phases, and again for its derivative).
    bool trapezoidal = false;
    // Adaptive step: local error of each step against lte_atol + lte_rtol |phase|,
    // steps up to dt_max (dt is the first), landing on every breakpoint.
    bool adaptive = false;
    double lte_rtol = 0.0, lte_atol = 0.0, dt_max = 0.0;
    std::vector<double> breakpoints; // ascending
    // Noise currents hold their value over noise_step (0: no noise); the steps
    // land on its multiples.
    double noise_step = 0.0;
    // Steps (accepted and rejected) an adaptive run may take; 0: no limit.
    int64_t max_steps = 0;
    // The start-up period: settle_steps steps of settle_step before t = 0, the
    // sources evaluated at those (negative) times, nothing recorded.
    int64_t settle_steps = 0;
    double settle_step = 0.0;
    // The start-up period of a linear circuit takes the steps it spends at rest
    // under sources at zero without computing them (false: computes every one).
    bool skip_rest = true;
};

struct Stats {
    int64_t steps = 0, rejected = 0, iterations = 0, max_iterations = 0;
    int64_t matrix_builds = 0, solves = 0;
    double kernel_seconds = 0.0, solver_seconds = 0.0;
    // The start-up period: its accepted steps (not counted in steps), and the
    // largest change of a node voltage another period would bring at the rate it
    // ended on (far from 0 for a circuit still moving at t = 0).
    int64_t settle_steps = 0;
    double settle_motion = 0.0;
};

// The sources whose value follows a waveform: the engine writes sign * w(t)
// where the model's SetParameters would store item 0.
struct Source {
    double* value;
    double sign;
    std::unique_ptr<Waveform> waveform;
    bool same_as_previous = false; // the waveform of the source before gives its values
    // From a step that starts after this time the value stays what it is.
    double settles_after = std::numeric_limits<double>::infinity();
    bool settled = false; // its last value written holds for the rest of the run
};

enum class Quantity : int32_t { node_phase, node_voltage, current, phase, voltage };

struct Channel {
    Quantity quantity;
    int32_t index; // unknown - 1 for node quantities, element index otherwise
    double sign;
};

// Row-major tables the caller owns: `capacity` rows of time, of the float
// channels and of the turn counts.
struct RecordTables {
    double* time = nullptr;
    double* values = nullptr;
    int32_t* turns = nullptr;
    int64_t capacity = 0;
};

// The lxglobals arrays the models were bound to.
struct SharedArrays {
    double* node_phase = nullptr;
    double* node_voltage = nullptr;
    double* node_dvoltage = nullptr;
    double* elem_phase = nullptr;
    double* elem_voltage = nullptr;
    double* elem_current = nullptr;
    int32_t* elem_n = nullptr;
};

// What the loop asks of its caller: about ten times a second, to report
// progress; after Python code ran (a waveform), whether the models still fit
// what was checked.  False stops the run (a Python error is then pending).
class Host {
  public:
    virtual ~Host() = default;
    virtual bool pause(double t) = 0;
    virtual bool models_still_fit() = 0;
};

// The codes are those Engine.run returns; interrupted raises instead;
// rule_failed: the stop rule found the run failed (see StopRule::report).
enum class Outcome {
    finished = 0,
    tables_full = 1,
    failed = 2,
    step_limit = 3,
    interrupted = 4,
    rule_failed = 5
};

// Why a step failed at every step size (Failure::reason).
constexpr const char* kReasonSingular = "singular matrix";
constexpr const char* kReasonNonFinite = "non-finite correction";
constexpr const char* kReasonNoConvergence = "no convergence";
constexpr const char* kReasonLocalError = "local error above tolerance";

// A step that failed at every step size down to dt_min.
struct Failure {
    double time = 0.0, step = 0.0;
    const char* reason = "";
    bool singular = false;
    int32_t iterations = 0;
    // Table positions of the models whose own terms were not finite at the
    // iterate where a correction first came out non-finite.
    std::vector<int32_t> non_finite_models;
};

class Transient {
  public:
    // `empty` holds the operations that do nothing; models whose slot holds
    // one are left out of that slot's loop.
    Transient(std::vector<ElementModelObject*> models, const ElementOps& empty, int32_t size,
              const Options& options, std::vector<Source> sources, std::vector<Channel> channels,
              std::vector<int32_t> turn_channels, SharedArrays shared);

    // The noise current models of an adaptive run (see Options::noise_step).
    void set_noise_models(std::vector<ElementModelObject*> models);
    // The unknowns whose voltage no model reads (nodes of inductors and current
    // sources alone): a trapezoidal step reports theirs by BDF2's formula.
    void set_voltage_free(std::vector<int32_t> unknowns) { voltage_free_ = std::move(unknowns); }
    // The rule that ends the run once it has failed its criterion (none by default).
    void set_stop_rule(StopRule rule) { stop_rule_ = std::move(rule); }
    const StopRule& stop_rule() const noexcept { return stop_rule_; }
    // Analyses the pattern and copies the static matrix; false if KLU refuses.
    bool prepare(const int32_t* col_ptr, const int32_t* row_idx, const double* a0);
    // Runs the start-up period (see Options::settle_steps), then starts the
    // integration afresh at t = 0 from the state reached (call once, before
    // record_start).
    Outcome settle(Host& host);
    // Records the state at t = 0 when it is to be kept (call once, before run).
    void record_start(const RecordTables& tables);
    // Steps on until t_stop, a full table, a failure or a stop from the host.
    // Waveforms that call Python may throw capi::PythonError.
    Outcome run(const RecordTables& tables, Host& host);

    // Seconds of one klu_refactor + klu_solve of the last matrix factored, the
    // mean of `repeats`; negative if nothing has been factored yet.
    double linear_algebra_floor(int32_t repeats);
    // Seconds of one klu_solve against the factorisation held, the mean of
    // `repeats`; negative if nothing has been factored yet.
    double solve_floor(int32_t repeats);

    const Stats& stats() const noexcept { return stats_; }
    const LinearSolver& solver() const noexcept { return solver_; }
    const Failure& failure() const noexcept { return failure_; }
    // Steps of the start-up period taken at rest without computing them.
    int64_t rest_steps() const noexcept { return rest_steps_; }
    int64_t recorded() const noexcept { return recorded_; }
    // Keeps the first `rows` rows recorded (the caller has taken the others):
    // the next row recorded is row `rows`.
    void keep_rows(int64_t rows) noexcept { recorded_ = rows; }
    double time() const noexcept { return t_; }
    bool done() const noexcept { return !(options_.t_stop - t_ > 1e-9 * options_.dt); }
    size_t channel_count() const noexcept { return channels_.size(); }
    size_t turn_channel_count() const noexcept { return turn_channels_.size(); }

  private:
    enum class StepStatus { ok, no_convergence, singular, not_finite, stopped };

    // per element index: kRecorded, and kCurrentRecorded when a channel reads its current
    static constexpr uint8_t kRecorded = 1, kCurrentRecorded = 2;
    std::vector<uint8_t> recorded_elements() const;
    void split_flat_branches();
    void index_entries(const int32_t* col_ptr, const int32_t* row_idx);
    void add_flat_branches() noexcept;
    bool reports_to_recording(const ElementModelObject* m,
                              const std::vector<uint8_t>& recorded) const noexcept;
    bool reports_phase_only(const ElementModelObject* m,
                            const std::vector<uint8_t>& recorded) const noexcept;
    void sort_by_values(ElementModelObject* m, const std::vector<uint8_t>& recorded);
    StepStatus step(double t, double h, bool has_prev, double h_prev, Host& host);
    StepStatus chord_step(double h, double a0, int old);
    void build_step_terms();
    void full_rhs();
    void add_flat_branch(const LinearBranch& branch);
    void defer_advances();

  public:
    // Does what the models deferred (see defer_advances) now.
    void catch_up() noexcept;

  private:
    void nonlinear_currents(const DoubleArray& b) noexcept;
    void nonlinear_changes(const DoubleArray& b, const double* correction) noexcept;
    bool refresh_jacobian();
    void keep_phase_share();
    void update_residual();
    double next_correction_estimate() const noexcept;
    bool single_solve_enough(double next, double local_error) const noexcept;
    void finish_with_diagonal(double* x, double a0) noexcept;
    void set_estimate_weights() noexcept;
    static bool remainder_small(double norm, double rate) noexcept;
    void give_up_step(int old) noexcept;
    StepStatus close_iterations(StepStatus status, int old, int iteration) noexcept;
    void predict(double h, double h_prev, double a0, double a1, double a2);
    void predict_trapezoidal(double* __restrict x, double* __restrict dx, double* __restrict ddx,
                             const double* __restrict x_prev, double h, double half_h2,
                             double cubic, double a0) const noexcept;
    void assemble(bool rebuild);
    void update_rhs_only();
    bool factor_and_solve(double* values, bool refactor);
    double apply_correction(double* x, double a0, double slack = 0.0) noexcept;
    bool add_correction(double* x, double a0) noexcept;
    double largest_ratio(const double* delta, const double* x, double slack) const noexcept;
    void find_non_finite_models();
    void accept(double h);
    void smooth_voltage_free() noexcept;
    double local_error(double h, double a0, const double* shift) const noexcept;
    double weighted_error(double h, double a0, const double* shift, double atol,
                          double rtol) const noexcept;
    // The weights of the two levels before the last in the prediction the
    // local error is measured from, and the corrector's share of the difference.
    struct ErrorTerms {
        double l2, l3, c;
    };
    ErrorTerms error_terms(double h, double a0) const noexcept;
    double next_breakpoint();
    double limit_to_breakpoint(double step_size, double& corner);
    void stamp_noise() noexcept;
    bool judge_noise(const double*& shift) noexcept;
    void accept_noise() noexcept;
    Outcome run_adaptive(const RecordTables& tables, Host& host);
    bool must_stop(const RecordTables& tables, Host& host, double& next_pause, Outcome& outcome);
    double next_step_size() const noexcept;
    Outcome fail(StepStatus status, double step_size) noexcept;
    void record(const RecordTables& tables, double t);
    bool record_and_judge(const RecordTables& tables, double t);
    void update_sources(double t);
    StepStatus settle_step(double size, Host& host);
    bool may_skip_rest() const noexcept;
    bool at_rest() const noexcept;
    bool rest_probe(double size) const noexcept;
    void watch_rest(bool probe, bool rebuilt) noexcept;
    bool rest_holds(double size) const noexcept;
    void take_rest_step() noexcept;
    void restart() noexcept;
    bool calls_python_ = false;

    double now() const noexcept;

    std::vector<ElementModelObject*> models_;
    // The models whose phase terms, currents and values do something, in
    // table order; of those with currents, the ones with and without phase
    // terms; the models whose terms may jump; the unrecorded ones stepped
    // through advance instead of Values; the junctions whose current nobody
    // records, reported through report_phase.
    std::vector<ElementModelObject*> with_a2_, with_rhs_, with_values_, with_advance_;
    std::vector<ElementModelObject*> with_phase_reports_;
    std::vector<ElementModelObject*> rhs_affine_, rhs_nonlinear_, with_jumps_;
    // Of rhs_affine_, those the chord iteration calls; the linear branches of
    // the others, per quantity (phase, voltage, its derivative), their
    // terminals as indices into arrays with ground at n_.
    struct FlatBranches {
        std::vector<int32_t> i, j;
        std::vector<double> g;
    };
    std::vector<ElementModelObject*> rhs_affine_calls_;
    // rhs_nonlinear_ cut into runs of one table: a run whose table has the
    // operations for many models is one call.
    struct ModelRun {
        const ElementOps* ops;
        size_t first, count;
    };
    std::vector<ModelRun> nonlinear_runs_;
    static std::vector<ModelRun> runs_of(const std::vector<ElementModelObject*>& models);
    // Unrecorded models whose advance and terms_changed the next step's first
    // evaluation does (see defer_advances); due there once a step is accepted.
    std::vector<ElementModelObject*> deferred_;
    bool deferred_due_ = false;
    FlatBranches flat_[3];
    int32_t n_;
    int32_t nnz_ = 0;
    Options options_;
    // The weights of the convergence tests: the tolerance, or a fraction of
    // it, per unknown abstol_ + reltol_ |x|.
    double abstol_ = 0.0, reltol_ = 0.0;
    std::vector<Source> sources_;
    std::vector<Channel> channels_;
    std::vector<int32_t> turn_channels_;
    SharedArrays shared_;
    LinearSolver solver_;
    Stats stats_;
    Failure failure_;

    // Integration state: three phase levels, derivative estimates of the
    // present iterate, and the voltages and voltage derivatives of the last
    // two accepted levels.
    std::vector<double> levels_[3];
    int xind_ = 0;
    std::vector<double> dx_, ddx_, v1_, v2_, dv1_, dv2_;
    std::vector<double> a0_, a1_, a2_, a01_, ax_, b_;
    StepContext ctx_{};
    // The chord iteration: a factorisation kept across steps while the step
    // size holds, no piece changes and corrections shrink fast.  The currents
    // of the models with phase terms at the last iterate (bn_) and their
    // entries of the kept matrix as triplets.  Where every such model has
    // rhs_change (the models' changes), they keep what these hold themselves
    // and the residual is summed into residual_.
    bool chord_ = false;
    bool models_changes_ = false;
    // The steps between fresh evaluations of the junctions' sines (the first
    // of a run, and after its start-up period, is one).
    static constexpr int64_t kFreshSineEvery = 64;
    std::vector<double> residual_;
    bool jacobian_stale_ = true;
    std::vector<double> bn_, bn_next_, scratch_, estimate_weight_, diagonal_inverse_;
    std::vector<int32_t> col_of_, row_of_, diagonal_, kept_row_, kept_col_;
    std::vector<double> kept_value_;
    double built_a0_ = 0.0;
    bool built_ = false;
    bool linear_factored_ = false;

    // Loop position, kept between calls of run.
    double t_ = 0.0, h_ = 0.0, h_prev_ = 0.0, h_prev2_ = 0.0;
    bool trapezoidal_step_ = false;    // the step being solved uses the trapezoidal rule
    bool settling_ = false;            // in the start-up period before t = 0
    double bdf2_[3] = {0.0, 0.0, 0.0}; // BDF2's a0, a1, a2 at the step being solved
    std::vector<int32_t> voltage_free_;
    std::vector<double> x3_;       // the level before the last two accepted
    bool estimates_error_ = false; // some step judges its local error, from x3_
    size_t next_breakpoint_ = 0;

    // Noise of an adaptive run: the noise part of the right-hand side of the
    // step being judged and of the last three accepted levels.
    std::vector<ElementModelObject*> noise_models_;
    std::vector<double> noise_now_, noise_history_[3], noise_shift_;
    bool noise_history_set_ = false;
    int64_t noise_boundaries_ = 0; // passed: the next is at (this + 1) * noise_step
    bool has_prev_ = false;
    int calm_ = 0;
    int64_t accepted_ = 0;
    int64_t steps_taken_ = 0; // accepted since the integration (re)started
    // The fixed step's grid: the last point of it reached, how many, and
    // whether the present time is one (retried steps land on it again).
    double grid_t_ = 0.0;
    int64_t grid_points_ = 0;
    bool on_grid_ = true;
    int64_t recorded_ = 0;
    StopRule stop_rule_;
    // The start-up period at rest: whether its steps are still watched for
    // rest, whether the next may be skipped, and how many were.
    bool rest_watched_ = false;
    bool rest_armed_ = false;
    int64_t rest_steps_ = 0;
};

} // namespace loxant::engine
