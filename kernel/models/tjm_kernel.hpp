// Arithmetic of the tunnel-junction response kernel: a small complex type with
// the division and exponential the recursion is defined with, and the weights
// of one time step.
//
// Every kernel term carries the convolution of a channel f (cos or sin of half
// the junction phase) with e^(p t):
//
//   y(t) = integral_{-inf}^{t} e^(p (t - tau)) f(tau) dtau.
//
// Over a step of length h, f is replaced by the quadratic through f(t0), its
// slope f'(t0) and f(t0 + h), which gives, with z = p h and E = e^z,
//
//   y(t0 + h) = E y(t0) + w_value f(t0) + w_deriv f'(t0) + w_new f(t0 + h)
//   w_value = h ((z^2 - 2) E + 2 z + 2) / z^3
//   w_deriv = h^2 ((z - 2) E + z + 2) / z^3
//   w_new   = h (2 E - 2 - 2 z - z^2) / z^3
//
// The numerators cancel to O(z^3), so for small |z| the weights come from
// their Taylor series instead (tjm_kernel.cpp).
#pragma once

#include <cmath>
#include <limits>

namespace loxant {
namespace tjm {

struct Complex {
    double re;
    double im;
};

inline Complex operator+(Complex a, Complex b) noexcept {
    return {a.re + b.re, a.im + b.im};
}
inline Complex operator-(Complex a, Complex b) noexcept {
    return {a.re - b.re, a.im - b.im};
}
inline Complex operator*(Complex a, Complex b) noexcept {
    return {a.re * b.re - a.im * b.im, a.re * b.im + a.im * b.re};
}
inline Complex operator*(double s, Complex a) noexcept {
    return {s * a.re, s * a.im};
}
inline Complex operator*(Complex a, double s) noexcept {
    return {a.re * s, a.im * s};
}

// Re(a b) without forming the imaginary part.
inline double real_of_product(Complex a, Complex b) noexcept {
    return a.re * b.re - a.im * b.im;
}

// Smith's division: scales by the larger component of the divisor, so that
// no intermediate overflows.  A zero or NaN divisor, or a scaled denominator
// that is zero or NaN, gives NaN in both parts.
inline Complex divide(Complex n, Complex d) noexcept {
    constexpr double nan = std::numeric_limits<double>::quiet_NaN();
    if ((d.re == 0.0 && d.im == 0.0) || std::isnan(d.re) || std::isnan(d.im))
        return {nan, nan};
    if (std::fabs(d.re) >= std::fabs(d.im)) {
        const double r = d.im / d.re;
        const double den = d.re + d.im * r;
        if (den == 0.0 || std::isnan(den))
            return {nan, nan};
        return {(n.re + n.im * r) / den, (n.im - n.re * r) / den};
    }
    const double r = d.re / d.im;
    const double den = d.re * r + d.im;
    if (den == 0.0 || std::isnan(den))
        return {nan, nan};
    return {(n.re * r + n.im) / den, (n.im * r - n.re) / den};
}

inline Complex exp(Complex z) noexcept {
    const double magnitude = std::exp(z.re);
    return {magnitude * std::cos(z.im), magnitude * std::sin(z.im)};
}

struct StepWeights {
    Complex value; // of f(t0)
    Complex deriv; // of f'(t0)
    Complex fresh; // of f(t0 + h)
};

// The weights of a step of length h for z = p h and e = e^z, to full precision
// for every z but 0, which gives NaN weights (a zero pole or a zero step).
StepWeights step_weights(Complex z, Complex e, double h) noexcept;

} // namespace tjm
} // namespace loxant
