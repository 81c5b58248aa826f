#pragma once
// Fitting the line variance = slope * intensity + intercept to the local
// (median intensity, robust variance) pairs of one channel.

#include <utility>
#include <vector>

namespace px {

// Normal equations whose determinant is this close to 0 are not solved.
inline constexpr double singular_determinant = 1e-16;

// (median intensity, robust variance) of one sampling window.
using block_statistic = std::pair<double, double>;

// The running sums of an ordinary least-squares fit of variance on intensity.
struct variance_sums {
    double sw = 0.0;    // number of windows
    double swx = 0.0;   // sum of intensities
    double swxx = 0.0;  // sum of squared intensities
    double swy = 0.0;   // sum of variances
    double swxy = 0.0;  // sum of intensity times variance

    void add(const block_statistic& s) {
        sw += 1.0;
        swx += s.first;
        swxx += s.first * s.first;
        swy += s.second;
        swxy += s.first * s.second;
    }
    // Determinant of the normal equations of the fit.
    double determinant() const { return sw * swxx - swx * swx; }
};

struct variance_line {
    double intercept = 0.0;
    double slope = 0.0;
};

// The ordinary least-squares line; sums.determinant() must not be singular.
variance_line least_squares_line(const variance_sums& sums);

// Iteratively reweighted refit of start that lowers the weight of pairs far
// from the line (Gaussian weights whose width is set by the mean squared
// residual of start). At most 50 iterations; stops once the mean squared
// residual settles to a relative 1e-12.
variance_line robust_refit(const std::vector<block_statistic>& stats, variance_line start);

}  // namespace px
