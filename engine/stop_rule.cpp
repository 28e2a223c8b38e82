#include "engine/stop_rule.hpp"

#include <cmath>
#include <utility>

namespace loxant::engine {

namespace {
constexpr double kPi = 3.141592653589793;
constexpr double kTwoPi = 2.0 * kPi;

// The turn a phase is in: it steps by one at every odd multiple of pi.
double turn_index(double phase) noexcept {
    return std::floor((phase + kPi) / kTwoPi);
}
} // namespace

void StopRule::expect_switches(std::vector<WatchedPhase> watched,
                               std::vector<std::vector<double>> times,
                               std::vector<std::vector<int32_t>> signs, double window,
                               double time_scale) {
    mode_ = Mode::switches;
    watched_ = std::move(watched);
    time_scale_ = time_scale;
    window_ = window;
    offset_.assign(1, 0);
    switch_time_.clear();
    switch_sign_.clear();
    for (size_t j = 0; j < watched_.size(); ++j) {
        switch_time_.insert(switch_time_.end(), times[j].begin(), times[j].end());
        switch_sign_.insert(switch_sign_.end(), signs[j].begin(), signs[j].end());
        offset_.push_back(switch_time_.size());
    }
    next_.assign(watched_.size(), 0);
    last_phase_.assign(watched_.size(), 0.0);
    started_ = false;
    report_ = StopReport{};
}

void StopRule::expect_counts(std::vector<WatchedPhase> watched, std::vector<double> times,
                             std::vector<double> relative, double threshold, double time_scale) {
    mode_ = Mode::counts;
    watched_ = std::move(watched);
    time_scale_ = time_scale;
    count_time_ = std::move(times);
    relative_ = std::move(relative);
    threshold_ = threshold;
    base_.assign(watched_.size(), 0.0);
    last_phase_.assign(watched_.size(), 0.0);
    next_line_ = 0;
    started_ = false;
    report_ = StopReport{};
}

bool StopRule::observe(double t, const double* elem_phase) noexcept {
    if (report_.kind != StopKind::none)
        return false;
    const bool going = mode_ == Mode::switches ? observe_switches(t * time_scale_, elem_phase)
                       : mode_ == Mode::counts ? observe_counts(t * time_scale_, elem_phase)
                                               : true;
    for (size_t j = 0; j < watched_.size(); ++j)
        last_phase_[j] = phase_of(j, elem_phase);
    last_t_ = t * time_scale_;
    started_ = true;
    return going;
}

bool StopRule::stop(StopKind kind, size_t junction, int32_t index, double time,
                    double value) noexcept {
    report_ = StopReport{kind, static_cast<int32_t>(junction), index, time, value};
    return false;
}

// Each passage of an odd multiple of pi between the last sample and this one
// is a switch, dated by linear interpolation, judged against the next expected.
bool StopRule::observe_switches(double t, const double* elem_phase) noexcept {
    if (!started_)
        return true;
    for (size_t j = 0; j < watched_.size(); ++j) {
        const double p0 = last_phase_[j], p1 = phase_of(j, elem_phase);
        const double first = turn_index(p0), last = turn_index(p1);
        if (first != last) {
            const int32_t sign = last > first ? 1 : -1;
            const double shift = sign > 0 ? 1.0 : 0.0;
            const double count = std::fabs(last - first);
            for (double k = 0; k < count; ++k) {
                const double level = first + sign * k + shift;
                const double at = (2 * level - 1) * kPi;
                const double when = last_t_ + (at - p0) / (p1 - p0) * (t - last_t_);
                if (!judge_switch(j, when, sign))
                    return false;
            }
        }
        const size_t next = offset_[j] + next_[j];
        if (next < offset_[j + 1] && t > switch_time_[next] + window_)
            return stop(StopKind::missing, j, static_cast<int32_t>(next_[j]), t,
                        switch_time_[next]);
    }
    return true;
}

bool StopRule::judge_switch(size_t j, double at, int32_t sign) noexcept {
    const size_t k = next_[j], position = offset_[j] + k;
    const auto index = static_cast<int32_t>(k);
    if (position >= offset_[j + 1])
        return stop(StopKind::extra_switch, j, index, at, at);
    if (sign != switch_sign_[position])
        return stop(StopKind::wrong_direction, j, index, at, at);
    const double expected = switch_time_[position];
    if (std::fabs(at - expected) > window_)
        return stop(at > expected ? StopKind::late : StopKind::early, j, index, at, at);
    ++next_[j];
    return true;
}

// Each time of the table reached is sampled by linear interpolation between
// the last sample and this one (the first sample's values before it).
bool StopRule::observe_counts(double t, const double* elem_phase) noexcept {
    const size_t n = watched_.size();
    while (next_line_ < count_time_.size() && count_time_[next_line_] <= t) {
        const double at = count_time_[next_line_];
        for (size_t j = 0; j < n; ++j) {
            const double p1 = phase_of(j, elem_phase);
            double value = p1;
            if (started_ && at != t) {
                const double slope = (p1 - last_phase_[j]) / (t - last_t_);
                value = slope * (at - last_t_) + last_phase_[j];
            }
            if (next_line_ == 0) {
                base_[j] = value;
                continue;
            }
            const double turns = (value - base_[j]) / kTwoPi;
            const double expected = relative_[(next_line_ - 1) * n + j];
            if (std::fabs(turns - expected) > threshold_) {
                stop(StopKind::count_off, j, static_cast<int32_t>(next_line_), at, turns);
                report_.phase = value;
                return false;
            }
        }
        ++next_line_;
    }
    return true;
}

} // namespace loxant::engine
