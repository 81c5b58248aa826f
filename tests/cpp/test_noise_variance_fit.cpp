#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "noise/variance_fit.hpp"

namespace {

TEST(VarianceFit, RobustRefitIgnoresGrossOutliers) {
    // Pairs scattered about variance = 0.2 intensity + 0.1, plus a few
    // windows spoilt by image structure. The weights are exp(-r^2 / (18
    // MSE0^2)), so they only separate outliers when MSE0 is well below 1.
    std::vector<px::block_statistic> stats;
    px::variance_sums sums;
    for (int i = 0; i < 200; ++i) {
        const double x = i / 200.0;
        const double scatter = (i % 5 - 2) * 0.005;
        stats.push_back({x, 0.2 * x + 0.1 + scatter});
    }
    for (int i = 0; i < 10; ++i) stats.push_back({0.75 + i / 200.0, 1.0});
    for (const px::block_statistic& s : stats) sums.add(s);

    const px::variance_line ordinary = px::least_squares_line(sums);
    EXPECT_GT(std::fabs(ordinary.slope - 0.2), 0.1);
    const px::variance_line robust = px::robust_refit(stats, ordinary);
    EXPECT_NEAR(robust.slope, 0.2, 0.002);
    EXPECT_NEAR(robust.intercept, 0.1, 0.002);
}

}  // namespace
