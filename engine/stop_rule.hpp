// A rule that ends a run as soon as it has failed its criterion: an extra
// switch, a switch the wrong way, one out of its window or missing past it, or
// a count off its expected value.  Such a failure cannot be undone by what the
// run does later, so the rest of the run is not worth simulating.
//
// The rule judges the samples the run records, exactly as the analysis judges
// the recorded series afterwards (the same interpolation, the same operations
// in the same order), so a run it stops is one the analysis fails.  It only
// ever stops failing runs: passing runs go to the end and are judged there.
// Everything is sized before the loop; observe allocates nothing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace loxant::engine {

// A junction whose recorded phase is elem_phase[element] * sign.
struct WatchedPhase {
    int32_t element = 0;
    double sign = 1.0;
};

enum class StopKind : int32_t {
    none = 0,
    extra_switch = 1,    // a switch beyond those expected
    wrong_direction = 2, // the next switch turns the other way
    early = 3,           // the next switch comes before its window
    late = 4,            // the next switch comes after its window
    missing = 5,         // the window of the next switch has passed without it
    count_off = 6,       // the count at a time of the table is off by more than the threshold
};

// What made the rule stop the run: the watched junction (its position), the
// time of the event or sample in the rule's time unit, which switch or line
// (0-based), the event's time (switches) or the turns counted since the
// calibration (counts), and the phase sampled there (counts).
struct StopReport {
    StopKind kind = StopKind::none;
    int32_t junction = -1;
    int32_t index = 0;
    double time = 0.0;
    double value = 0.0;
    double phase = 0.0;
};

class StopRule {
  public:
    // Switches as at nominal: per watched junction its expected switches in
    // order, times (in the rule's unit) and signs (+1, -1), each within window.
    void expect_switches(std::vector<WatchedPhase> watched, std::vector<std::vector<double>> times,
                         std::vector<std::vector<int32_t>> signs, double window, double time_scale);
    // Counts at times: the first time calibrates; at each later time k,
    // |(phase - phase at calibration) / 2 pi - relative[(k - 1) * n + j]| must
    // not exceed threshold for every junction j of the n watched.
    void expect_counts(std::vector<WatchedPhase> watched, std::vector<double> times,
                       std::vector<double> relative, double threshold, double time_scale);

    bool active() const noexcept { return mode_ != Mode::off; }
    // Judges the sample recorded at time t (the run's own unit); false once the
    // run has failed (then report() says why).
    bool observe(double t, const double* elem_phase) noexcept;
    const StopReport& report() const noexcept { return report_; }

  private:
    enum class Mode { off, switches, counts };
    bool observe_switches(double t, const double* elem_phase) noexcept;
    bool observe_counts(double t, const double* elem_phase) noexcept;
    bool judge_switch(std::size_t j, double at, int32_t sign) noexcept;
    bool stop(StopKind kind, std::size_t junction, int32_t index, double time,
              double value) noexcept;
    double phase_of(std::size_t j, const double* elem_phase) const noexcept {
        return elem_phase[watched_[j].element] * watched_[j].sign;
    }

    Mode mode_ = Mode::off;
    std::vector<WatchedPhase> watched_;
    double time_scale_ = 1.0;
    bool started_ = false;
    double last_t_ = 0.0;
    std::vector<double> last_phase_;
    StopReport report_;
    // switches: flattened per junction from offset_[j] to offset_[j + 1]
    std::vector<double> switch_time_;
    std::vector<int32_t> switch_sign_;
    std::vector<std::size_t> offset_, next_;
    double window_ = 0.0;
    // counts
    std::vector<double> count_time_, relative_, base_;
    std::size_t next_line_ = 0;
    double threshold_ = 0.0;
};

} // namespace loxant::engine
