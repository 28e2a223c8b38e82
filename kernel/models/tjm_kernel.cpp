// Step weights of the kernel recursion (formulas in tjm_kernel.hpp).
//
// Written as h F(z), the three weights are
//
//   F_value(z) = sum_m (m + 1)(m + 4) / (m + 3)! z^m
//   F_deriv(z) = sum_m (m + 1) / (m + 3)! z^m
//   F_new(z)   = sum_m 2 / (m + 3)! z^m
//
// For |z| < 2 the series is summed by Horner's rule with as many terms as keep
// the truncation below 1e-17 of the smallest |F| on the disc.  From |z| = 2 on
// the closed forms lose less than an ulp or two to cancellation, and both
// branches agree to about 1e-15 at the switch.
#include "kernel/models/tjm_kernel.hpp"

#include <array>

namespace loxant {
namespace tjm {
namespace {

constexpr int kMaxSeriesTerms = 25;

// 1/n!, n = 0 .. kMaxSeriesTerms + 2, correctly rounded.
constexpr double kInverseFactorial[kMaxSeriesTerms + 3] = {
    1.0,
    1.0,
    0.5,
    0.16666666666666666,
    0.041666666666666664,
    0.008333333333333333,
    0.001388888888888889,
    0.0001984126984126984,
    2.48015873015873e-05,
    2.7557319223985893e-06,
    2.755731922398589e-07,
    2.505210838544172e-08,
    2.08767569878681e-09,
    1.6059043836821613e-10,
    1.1470745597729725e-11,
    7.647163731819816e-13,
    4.779477332387385e-14,
    2.8114572543455206e-15,
    1.5619206968586225e-16,
    8.22063524662433e-18,
    4.110317623312165e-19,
    1.9572941063391263e-20,
    8.896791392450574e-22,
    3.868170170630684e-23,
    1.6117375710961184e-24,
    6.446950284384474e-26,
    2.4795962632247976e-27,
    9.183689863795546e-29,
};

struct SeriesCoefficients {
    std::array<double, kMaxSeriesTerms> value, deriv, fresh;
};

constexpr SeriesCoefficients make_coefficients() {
    SeriesCoefficients c{};
    for (int m = 0; m < kMaxSeriesTerms; ++m) {
        const double f = kInverseFactorial[m + 3];
        c.value[m] = (m + 1) * (m + 4) * f;
        c.deriv[m] = (m + 1) * f;
        c.fresh[m] = 2 * f;
    }
    return c;
}

constexpr SeriesCoefficients kSeries = make_coefficients();

// Terms needed up to each radius (|z|^2 compared with radius^2).
struct SeriesBand {
    double radius_squared;
    int terms;
};
constexpr SeriesBand kBands[] = {
    {1.0 / 4096, 8}, {1.0 / 64, 11}, {1.0 / 4, 16}, {4.0, kMaxSeriesTerms}};
constexpr double kSeriesLimitSquared = 4.0;

int series_terms(double radius_squared) noexcept {
    for (const SeriesBand& band : kBands)
        if (radius_squared < band.radius_squared)
            return band.terms;
    return kMaxSeriesTerms;
}

StepWeights series_weights(Complex z, double h, int terms) noexcept {
    const int last = terms - 1;
    Complex value{kSeries.value[last], 0.0};
    Complex deriv{kSeries.deriv[last], 0.0};
    Complex fresh{kSeries.fresh[last], 0.0};
    for (int m = last - 1; m >= 0; --m) {
        value = value * z + Complex{kSeries.value[m], 0.0};
        deriv = deriv * z + Complex{kSeries.deriv[m], 0.0};
        fresh = fresh * z + Complex{kSeries.fresh[m], 0.0};
    }
    return {h * value, h * h * deriv, h * fresh};
}

StepWeights closed_form_weights(Complex z, Complex e, double h) noexcept {
    const Complex two{2.0, 0.0};
    const Complex z2 = z * z;
    const Complex h_over_z3 = divide(Complex{h, 0.0}, z2 * z);
    const Complex value = (z2 - two) * e + 2.0 * z + two;
    const Complex deriv = (z - two) * e + z + two;
    const Complex fresh = 2.0 * e - two - 2.0 * z - z2;
    return {value * h_over_z3, deriv * h_over_z3 * h, fresh * h_over_z3};
}

} // namespace

StepWeights step_weights(Complex z, Complex e, double h) noexcept {
    const double radius_squared = z.re * z.re + z.im * z.im;
    if (z.re == 0.0 && z.im == 0.0) {
        // The closed forms are 0/0 here, and so are the weights.
        constexpr double nan = std::numeric_limits<double>::quiet_NaN();
        return {{nan, nan}, {nan, nan}, {nan, nan}};
    }
    if (radius_squared < kSeriesLimitSquared)
        return series_weights(z, h, series_terms(radius_squared));
    return closed_form_weights(z, e, h);
}

} // namespace tjm
} // namespace loxant
