#include "kernel/step.hpp"

#include <cmath>

namespace loxant {

namespace {
constexpr double kTwoPi = 6.283185307179586;
constexpr double kFourPi = 12.566370614359172;
} // namespace

void CountPhaseSlips(double phase, double hysteresis, int32_t& count, uint8_t& inc,
                     uint8_t& dec) noexcept {
    const int32_t old = count;
    // c - round(c) is the distance, in turns, of |phase| from the nearest half turn.
    const double c = std::fabs(phase) / kTwoPi + 0.5;
    if (std::fabs(c - std::round(c)) > hysteresis / kFourPi) {
        // Saturate rather than overflow for absurd phases; NaN never gets here.
        const double whole = std::trunc(c) < 2147483647.0 ? std::trunc(c) : 2147483647.0;
        const int32_t k = phase < 0 ? -static_cast<int32_t>(whole) : static_cast<int32_t>(whole);
        count = k;
        inc = old < k ? 1 : 0;
        dec = old > k ? 1 : 0;
    } else {
        inc = 0;
        dec = 0;
    }
}

} // namespace loxant
