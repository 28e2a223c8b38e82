// What the parts of Transient (transient.cpp, transient_chord.cpp,
// transient_loop.cpp) share.
#pragma once

#include "kernel/models/element_model.hpp"

#include <algorithm>
#include <cmath>
#include <vector>

namespace loxant::engine::detail {

// A modified Newton iteration whose corrections shrink slower than this
// refactors at the present iterate.
constexpr double kSlowRate = 0.125;
// The share of the tolerance that an estimated error left may use.
constexpr double kEstimateShare = 0.5;

inline DoubleArray strided(std::vector<double>& v) noexcept {
    return DoubleArray{reinterpret_cast<char*>(v.data()), sizeof(double)};
}

inline void zero(std::vector<double>& v) noexcept {
    std::fill(v.begin(), v.end(), 0.0);
}

// The source factor of loxant.simulation.integrator.smooth_factor.
inline double smooth_factor(double t, double ramp) noexcept {
    constexpr double kPi = 3.141592653589793;
    if (ramp <= 0 || t >= ramp)
        return 1.0;
    return 0.5 * (1.0 - std::cos(kPi * t / ramp));
}

} // namespace loxant::engine::detail
