// Engine defaults, parameter validation, and the quantile of the p-value with
// the chi-square threshold built on it.

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>

#include "denoise/engine/quantile.hpp"
#include "denoise/engine/vorel.hpp"
#include "engine_support.hpp"

namespace {

constexpr float inf = std::numeric_limits<float>::infinity();
constexpr float nan = std::numeric_limits<float>::quiet_NaN();

void expect_extent(const px::extent& e, const px::extent& expected) {
    EXPECT_EQ(e.x, expected.x);
    EXPECT_EQ(e.y, expected.y);
    EXPECT_EQ(e.z, expected.z);
    EXPECT_EQ(e.c, expected.c);
    EXPECT_EQ(e.t, expected.t);
}

TEST(EngineConfiguration, Defaults) {
    const px::vorel engine;
    expect_extent(engine.patch_radius, {3, 3, 0, 0, 0});
    expect_extent(engine.neighborhood_axes, {1, 1, 1, 0, 1});
    EXPECT_EQ(engine.max_iter, 4);
    EXPECT_EQ(engine.pvalue, 0.01f);
    EXPECT_NEAR(engine.quantile, 2.3213677f, 1e-6f);
    EXPECT_EQ(engine.min_variance_ratio, 1e-8f);
    EXPECT_EQ(engine.min_weight_ratio, 1e-6f);
    EXPECT_EQ(engine.min_variance, 1e-8f);
    EXPECT_EQ(engine.min_weight, 1e-6f);
    EXPECT_EQ(engine.renoise, 0.0f);
    EXPECT_TRUE(engine.observers.empty());
}

TEST(EngineConfiguration, QuantileOfPvalue) {
    // Both bounds are accepted; they give infinite quantiles.
    const struct {
        float pvalue, quantile;
    } cases[] = {{0.01f, 2.3213677f}, {0.5f, 0.0f}, {0.99f, -2.3213677f}, {0.0f, inf}, {1.0f, -inf}};
    for (const auto& c : cases) {
        px::vorel engine;
        engine.set_pvalue(c.pvalue);
        EXPECT_EQ(engine.pvalue, c.pvalue);
        if (std::isinf(c.quantile)) {
            EXPECT_EQ(engine.quantile, c.quantile);
        } else {
            EXPECT_NEAR(engine.quantile, c.quantile, 1e-6f) << "pvalue " << c.pvalue;
        }
    }
}

TEST(EngineConfiguration, ChiSquareThreshold) {
    const double u = px::vorel().quantile;
    EXPECT_FLOAT_EQ(static_cast<float>(px::chi2_threshold(u, 9)), 20.765619f);
    EXPECT_FLOAT_EQ(static_cast<float>(px::chi2_threshold(u, 49)), 74.057198f);
    EXPECT_NEAR(6.0 * px::chi2_threshold(u, 49), 444.343, 1e-3);  // the patch test of 7 x 7 samples
    EXPECT_EQ(px::chi2_threshold(0.0, 9), 8.5);
}

TEST(EngineConfiguration, AcceptedValues) {
    px::vorel engine;
    engine.set_max_iter(1);
    engine.set_renoise(0.0f);
    engine.set_patch_radius({0, 2, 1, -1, 0});  // the channel radius is never read
    engine.set_neighborhood_axes({0, 0, 5, 7, -2});
    EXPECT_EQ(engine.max_iter, 1);
    EXPECT_EQ(engine.renoise, 0.0f);
    expect_extent(engine.patch_radius, {0, 2, 1, 0, 0});
    expect_extent(engine.neighborhood_axes, {1, 1, 1, 0, 1});
    engine.set_neighborhood_axes({1, 1, 0, 1, 0});
    expect_extent(engine.neighborhood_axes, {1, 1, 0, 0, 0});
}

struct refused_case {
    const char* name;
    std::function<void(px::vorel&)> action;
    const char* message;
};

class RefusedSetting : public testing::TestWithParam<refused_case> {};

TEST_P(RefusedSetting, LeavesEngineUnchanged) {
    px::vorel engine;
    engine.set_max_iter(7);
    engine.set_patch_radius({2, 1, 1, 0, 1});
    engine.set_pvalue(0.2f);
    engine.set_renoise(0.5f);
    const px::vorel before = engine;
    engine_test::expect_invalid_argument([&] { GetParam().action(engine); }, GetParam().message);
    expect_extent(engine.patch_radius, before.patch_radius);
    EXPECT_EQ(engine.max_iter, before.max_iter);
    EXPECT_EQ(engine.pvalue, before.pvalue);
    EXPECT_EQ(engine.quantile, before.quantile);
    EXPECT_EQ(engine.renoise, before.renoise);
}

INSTANTIATE_TEST_SUITE_P(
    Engine, RefusedSetting,
    testing::Values(
        refused_case{"max_iter_0", [](px::vorel& e) { e.set_max_iter(0); }, "max_iter must be > 0"},
        refused_case{"radius_x", [](px::vorel& e) { e.set_patch_radius({-1, 3, 3, 0, 3}); },
                     "patch radius cannot be negative"},
        refused_case{"radius_t", [](px::vorel& e) { e.set_patch_radius({3, 3, 3, 0, -1}); },
                     "patch radius cannot be negative"},
        refused_case{"pvalue_above_1", [](px::vorel& e) { e.set_pvalue(1.0001f); }, "pvalue must be in range [0, 1]"},
        refused_case{"pvalue_nan", [](px::vorel& e) { e.set_pvalue(nan); }, "pvalue must be in range [0, 1]"},
        refused_case{"renoise_negative", [](px::vorel& e) { e.set_renoise(-1.0f); }, "renoise factor must be >= 0"},
        refused_case{"renoise_nan", [](px::vorel& e) { e.set_renoise(nan); }, "renoise factor must be >= 0"}),
    engine_test::by_name());

}  // namespace
