// Ordinary and robust line fits of local noise variance on local intensity.

#include "noise/variance_fit.hpp"

#include <cmath>

namespace px {

namespace {
constexpr int max_refit_iterations = 50;
constexpr double settled = 1e-12;  // relative change of the mean squared residual
}  // namespace

variance_line least_squares_line(const variance_sums& s) {
    const double d = s.determinant();
    return {(s.swxx * s.swy - s.swx * s.swxy) / d, (s.sw * s.swxy - s.swx * s.swy) / d};
}

variance_line robust_refit(const std::vector<block_statistic>& stats, variance_line line) {
    if (stats.empty()) return line;
    const double per_entry = 1.0 / static_cast<double>(stats.size());

    double mse0 = 0.0;
    for (const block_statistic& s : stats) {
        const double r = s.second - line.intercept - line.slope * s.first;
        mse0 += r * r;
    }
    mse0 *= per_entry;
    // A line through every pair leaves nothing to reweight.
    if (mse0 == 0.0) return line;
    // -1 / (18 MSE0^2), kept fixed so that the weights keep one width.
    const double k = -0.05555555555555555 / (mse0 * mse0);

    double previous_mse = 0.0;
    for (int iteration = 0; iteration < max_refit_iterations; ++iteration) {
        double w0 = 0.0, w1 = 0.0, w2 = 0.0, v0 = 0.0, v1 = 0.0, mse = 0.0;
        for (const block_statistic& s : stats) {
            const double x = s.first;
            const double y = s.second;
            const double r = y - line.intercept - line.slope * x;
            const double w = std::exp(k * r * r);
            w0 += w;
            w1 += w * x;
            w2 += w * x * x;
            v0 += w * y;
            v1 += w * x * y;
            mse += r * r;
        }
        mse *= per_entry;
        const double det = w0 * w2 - w1 * w1;
        if (std::fabs(det) > singular_determinant) line = {(w2 * v0 - w1 * v1) / det, (w0 * v1 - w1 * v0) / det};
        if (iteration > 0 && std::fabs(mse - previous_mse) <= settled * previous_mse) break;
        previous_mse = mse;
    }
    return line;
}

}  // namespace px
