#pragma once
// Closed-form approximation of the standard-normal quantile of 1 - p, through
// an approximate inverse error function, and the chi-square threshold built on
// it. Both are evaluated in double precision.

#include <cmath>
#include <cstdint>

namespace px {

// Quantile of 1 - p; +inf at p = 0, 0 at p = 0.5, -inf at p = 1.
inline double normal_quantile(float p) {
    const double pd = p;
    const double s = 2.0 * (1.0 - pd) - 1.0;
    const double log_term = std::log(1.0 - s * s);
    const double b = 0.5 * log_term + 4.546884979448288;
    const double g = std::sqrt(std::sqrt(b * b - 7.14223022407626 * log_term) - b);
    return p < 0.5f ? g * 1.4142135623730951 : g * -1.4142135623730951;
}

// Chi-square quantile with the given degrees of freedom at the probability of
// normal quantile u (the square of u + sqrt(2 dof - 1), halved), rounded to
// float. Infinite for an infinite u of either sign.
inline double chi2_threshold(double u, std::int64_t degrees_of_freedom) {
    const double twice_dof_minus_one = 2.0 * static_cast<double>(degrees_of_freedom) - 1.0;
    return static_cast<float>(0.5 * ((2.0 * std::sqrt(twice_dof_minus_one) + u) * u + twice_dof_minus_one));
}

}  // namespace px
