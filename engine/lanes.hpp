// Passes over the unknowns that divide or take a maximum, two lanes at a time.
// Without -ffast-math the compiler keeps such loops scalar (a maximum is not a
// reduction it may reorder); SSE2's divpd and maxpd give, lane by lane, the
// same doubles as the scalar code, so results stay the same to the bit.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace loxant::engine::lanes {

// max(0, max_k |delta_k| / (|x_k| reltol + abstol)); no value is a NaN.
inline double largest_ratio(const double* delta, const double* x, int32_t n, double abstol,
                            double reltol) noexcept {
    double largest = 0.0;
    int32_t k = 0;
#if defined(__SSE2__)
    const __m128d sign = _mm_set1_pd(-0.0), rel = _mm_set1_pd(reltol), abs = _mm_set1_pd(abstol);
    __m128d lane = _mm_setzero_pd();
    for (; k + 2 <= n; k += 2) {
        const __m128d d = _mm_andnot_pd(sign, _mm_loadu_pd(delta + k));
        const __m128d w =
            _mm_add_pd(_mm_mul_pd(_mm_andnot_pd(sign, _mm_loadu_pd(x + k)), rel), abs);
        lane = _mm_max_pd(_mm_div_pd(d, w), lane);
    }
    double pair[2];
    _mm_storeu_pd(pair, lane);
    largest = std::max(pair[0], pair[1]);
#endif
    for (; k < n; ++k)
        largest = std::max(largest, std::fabs(delta[k]) / (std::fabs(x[k]) * reltol + abstol));
    return largest;
}

// The terms of a local error estimate: c |(x - x1) - (l2 (x2 - x1) + l3 (x3 - x1))|
// of every unknown, weighted by atol + rtol |x|; their maximum (a NaN does not
// count).
struct Levels {
    const double *x, *x1, *x2, *x3;
};

// The term of unknown k, and of k and k + 1 two lanes at a time.
inline double error_term(const Levels& v, int32_t k, double l2, double l3, double c) noexcept {
    const double predicted = l2 * (v.x2[k] - v.x1[k]) + l3 * (v.x3[k] - v.x1[k]);
    return c * std::fabs((v.x[k] - v.x1[k]) - predicted);
}

#if defined(__SSE2__)
struct TermLanes {
    __m128d sign = _mm_set1_pd(-0.0), l2, l3, c;
    TermLanes(double l2_, double l3_, double c_) noexcept
        : l2(_mm_set1_pd(l2_)), l3(_mm_set1_pd(l3_)), c(_mm_set1_pd(c_)) {}

    __m128d at(const Levels& v, int32_t k) const noexcept {
        const __m128d x = _mm_loadu_pd(v.x + k), x1 = _mm_loadu_pd(v.x1 + k);
        const __m128d predicted =
            _mm_add_pd(_mm_mul_pd(l2, _mm_sub_pd(_mm_loadu_pd(v.x2 + k), x1)),
                       _mm_mul_pd(l3, _mm_sub_pd(_mm_loadu_pd(v.x3 + k), x1)));
        return _mm_mul_pd(c, _mm_andnot_pd(sign, _mm_sub_pd(_mm_sub_pd(x, x1), predicted)));
    }
};

inline double larger_lane(__m128d lane) noexcept {
    double pair[2];
    _mm_storeu_pd(pair, lane);
    return std::max(pair[0], pair[1]);
}
#endif

// The same with rtol = 0: the largest term, then one division, which gives
// the same double since a correctly rounded division by a positive number
// keeps the order.
inline double largest_term(const Levels& v, int32_t n, double l2, double l3, double c) noexcept {
    double largest = 0.0;
    int32_t k = 0;
#if defined(__SSE2__)
    const TermLanes terms(l2, l3, c);
    __m128d lane = _mm_setzero_pd();
    for (; k + 2 <= n; k += 2)
        lane = _mm_max_pd(terms.at(v, k), lane);
    largest = larger_lane(lane);
#endif
    for (; k < n; ++k)
        largest = std::max(largest, error_term(v, k, l2, l3, c));
    return largest;
}

inline double largest_error(const Levels& v, int32_t n, double l2, double l3, double c, double atol,
                            double rtol) noexcept {
    if (rtol == 0.0)
        return largest_term(v, n, l2, l3, c) / atol;
    double largest = 0.0;
    int32_t k = 0;
#if defined(__SSE2__)
    const TermLanes terms(l2, l3, c);
    const __m128d va = _mm_set1_pd(atol), vr = _mm_set1_pd(rtol);
    __m128d lane = _mm_setzero_pd();
    for (; k + 2 <= n; k += 2) {
        const __m128d x = _mm_loadu_pd(v.x + k);
        const __m128d w = _mm_add_pd(va, _mm_mul_pd(vr, _mm_andnot_pd(terms.sign, x)));
        lane = _mm_max_pd(_mm_div_pd(terms.at(v, k), w), lane);
    }
    largest = larger_lane(lane);
#endif
    for (; k < n; ++k)
        largest =
            std::max(largest, error_term(v, k, l2, l3, c) / (atol + rtol * std::fabs(v.x[k])));
    return largest;
}

// True if no value is an infinity or a NaN (v - v is a NaN exactly for those).
inline bool all_finite(const double* values, int32_t n) noexcept {
    int32_t k = 0;
    bool bad = false;
#if defined(__SSE2__)
    __m128d unordered = _mm_setzero_pd();
    for (; k + 2 <= n; k += 2) {
        const __m128d v = _mm_loadu_pd(values + k);
        const __m128d d = _mm_sub_pd(v, v);
        unordered = _mm_or_pd(unordered, _mm_cmpunord_pd(d, d));
    }
    bad = _mm_movemask_pd(unordered) != 0;
#endif
    for (; k < n; ++k)
        bad = bad || !std::isfinite(values[k]);
    return !bad;
}

// max_k |b_k| weight_k over the rows with b_k != 0, a NaN counting as
// infinite (weight_k may be infinite: 0 times it is not taken).
inline double largest_weighted(const double* b, const double* weight, int32_t n) noexcept {
    constexpr double inf = std::numeric_limits<double>::infinity();
    double largest = 0.0;
    int32_t k = 0;
#if defined(__SSE2__)
    const __m128d sign = _mm_set1_pd(-0.0), zero = _mm_setzero_pd(), vinf = _mm_set1_pd(inf);
    __m128d lane = _mm_setzero_pd();
    for (; k + 2 <= n; k += 2) {
        const __m128d bk = _mm_loadu_pd(b + k);
        __m128d r = _mm_mul_pd(_mm_andnot_pd(sign, bk), _mm_loadu_pd(weight + k));
        const __m128d nan = _mm_cmpunord_pd(r, r);
        r = _mm_or_pd(_mm_and_pd(nan, vinf), _mm_andnot_pd(nan, r));
        r = _mm_andnot_pd(_mm_cmpeq_pd(bk, zero), r); // rows without a residual: 0
        lane = _mm_max_pd(r, lane);
    }
    double pair[2];
    _mm_storeu_pd(pair, lane);
    largest = std::max(pair[0], pair[1]);
#endif
    for (; k < n; ++k) {
        if (b[k] == 0.0)
            continue;
        const double ratio = std::fabs(b[k]) * weight[k];
        if (!(ratio <= largest)) // a NaN counts as infinite
            largest = std::isnan(ratio) ? inf : ratio;
    }
    return largest;
}

} // namespace loxant::engine::lanes
