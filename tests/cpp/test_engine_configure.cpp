// Engine defaults, parameter validation, the quantile of the p-value and the
// chi-square threshold built on it, and the check that a patch fits an image.

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>
#include <string>

#include "denoise/quantile.hpp"
#include "denoise/vorel.hpp"
#include "engine_support.hpp"

namespace {

using engine_test::expect_invalid_argument;

constexpr float inf = std::numeric_limits<float>::infinity();
constexpr float nan = std::numeric_limits<float>::quiet_NaN();

void expect_extent(const px::extent& e, px::extent expected) {
    EXPECT_EQ(e.x, expected.x);
    EXPECT_EQ(e.y, expected.y);
    EXPECT_EQ(e.z, expected.z);
    EXPECT_EQ(e.c, expected.c);
    EXPECT_EQ(e.t, expected.t);
}

TEST(EngineDefaults, MembersAfterConstruction) {
    const px::vorel engine;
    expect_extent(engine.patch_radius, {3, 3, 0, 0, 0});
    expect_extent(engine.neighborhood_axes, {1, 1, 1, 0, 1});
    EXPECT_EQ(engine.max_iter, 4);
    EXPECT_EQ(engine.pvalue, 0.01f);
    EXPECT_FLOAT_EQ(engine.quantile, 2.3213677f);
    EXPECT_EQ(engine.min_variance_ratio, 1e-8f);
    EXPECT_EQ(engine.min_weight_ratio, 1e-6f);
    EXPECT_EQ(engine.min_variance, 1e-8f);
    EXPECT_EQ(engine.min_weight, 1e-6f);
    EXPECT_EQ(engine.renoise, 0.0f);
    EXPECT_TRUE(engine.observers.empty());
}

struct quantile_case {
    float pvalue;
    float quantile;
};

class Quantile : public testing::TestWithParam<quantile_case> {};

TEST_P(Quantile, OfPvalue) {
    const quantile_case c = GetParam();
    px::vorel engine;
    engine.set_pvalue(c.pvalue);
    EXPECT_EQ(engine.pvalue, c.pvalue);
    if (std::isinf(c.quantile)) {
        EXPECT_EQ(engine.quantile, c.quantile);
    } else {
        EXPECT_NEAR(engine.quantile, c.quantile, 1e-6f);
    }
}

INSTANTIATE_TEST_SUITE_P(Engine, Quantile,
                         testing::Values(quantile_case{0.01f, 2.3213677f}, quantile_case{0.5f, 0.0f},
                                         quantile_case{0.0f, inf}, quantile_case{1.0f, -inf},
                                         quantile_case{0.99f, -2.3213677f}));

TEST(ChiSquareThreshold, DefaultPvalue) {
    const px::vorel engine;
    EXPECT_FLOAT_EQ(static_cast<float>(px::chi2_threshold(engine.quantile, 9)), 20.765619f);
    EXPECT_FLOAT_EQ(static_cast<float>(px::chi2_threshold(engine.quantile, 49)), 74.057198f);
    // The consistency test of a 7 x 7 patch accepts below six times that.
    EXPECT_NEAR(6.0 * px::chi2_threshold(engine.quantile, 49), 444.343, 1e-3);
}

TEST(ChiSquareThreshold, ExtremePvalues) {
    // Quantile 0 leaves S - 1/2; an infinite quantile of either sign gives +inf.
    EXPECT_EQ(px::chi2_threshold(0.0, 9), 8.5);
    EXPECT_EQ(px::chi2_threshold(px::normal_quantile(0.0f), 9), std::numeric_limits<double>::infinity());
    EXPECT_EQ(px::chi2_threshold(px::normal_quantile(1.0f), 9), std::numeric_limits<double>::infinity());
}

// A refused setting: its message, and the engine must compare equal before
// and after.
struct refused_case {
    const char* name;
    std::function<void(px::vorel&)> action;
    const char* message;
};

void configure_non_default(px::vorel& engine) {
    engine.set_max_iter(7);
    engine.set_patch_radius({2, 1, 1, 0, 1});
    engine.set_neighborhood_axes({1, 1, 0, 0, 1});
    engine.set_pvalue(0.2f);
    engine.set_renoise(0.5f);
}

void expect_same_configuration(const px::vorel& a, const px::vorel& b) {
    expect_extent(a.patch_radius, b.patch_radius);
    expect_extent(a.neighborhood_axes, b.neighborhood_axes);
    EXPECT_EQ(a.max_iter, b.max_iter);
    EXPECT_EQ(a.pvalue, b.pvalue);
    EXPECT_EQ(a.quantile, b.quantile);
    EXPECT_EQ(a.renoise, b.renoise);
}

class RefusedSetting : public testing::TestWithParam<refused_case> {};

TEST_P(RefusedSetting, LeavesMemberUnchanged) {
    const refused_case& c = GetParam();
    px::vorel engine;
    configure_non_default(engine);
    const px::vorel before = engine;
    expect_invalid_argument([&] { c.action(engine); }, c.message);
    expect_same_configuration(engine, before);
}

const char* const radius_message = "patch radius cannot be negative";
const char* const pvalue_message = "pvalue must be in range [0, 1]";
const char* const renoise_message = "renoise factor must be >= 0";

INSTANTIATE_TEST_SUITE_P(
    Engine, RefusedSetting,
    testing::Values(
        refused_case{"max_iter_zero", [](px::vorel& e) { e.set_max_iter(0); }, "max_iter must be > 0"},
        refused_case{"max_iter_negative", [](px::vorel& e) { e.set_max_iter(-3); }, "max_iter must be > 0"},
        refused_case{"radius_x", [](px::vorel& e) { e.set_patch_radius({-1, 3, 3, 0, 3}); }, radius_message},
        refused_case{"radius_y", [](px::vorel& e) { e.set_patch_radius({3, -1, 3, 0, 3}); }, radius_message},
        refused_case{"radius_z", [](px::vorel& e) { e.set_patch_radius({3, 3, -1, 0, 3}); }, radius_message},
        refused_case{"radius_t", [](px::vorel& e) { e.set_patch_radius({3, 3, 3, 0, -1}); }, radius_message},
        refused_case{"pvalue_above_one", [](px::vorel& e) { e.set_pvalue(1.0001f); }, pvalue_message},
        refused_case{"pvalue_negative", [](px::vorel& e) { e.set_pvalue(-0.0001f); }, pvalue_message},
        refused_case{"pvalue_nan", [](px::vorel& e) { e.set_pvalue(nan); }, pvalue_message},
        refused_case{"renoise_negative", [](px::vorel& e) { e.set_renoise(-1.0f); }, renoise_message},
        refused_case{"renoise_nan", [](px::vorel& e) { e.set_renoise(nan); }, renoise_message}),
    [](const testing::TestParamInfo<refused_case>& p) { return std::string(p.param.name); });

TEST(AcceptedSetting, BoundaryValues) {
    px::vorel engine;
    engine.set_max_iter(1);
    EXPECT_EQ(engine.max_iter, 1);
    engine.set_renoise(0.0f);
    EXPECT_EQ(engine.renoise, 0.0f);
    // The channel radius is never read, so a negative one passes and is not stored.
    engine.set_patch_radius({0, 2, 1, -1, 0});
    expect_extent(engine.patch_radius, {0, 2, 1, 0, 0});
}

TEST(AcceptedSetting, NeighborhoodAxesAreSwitches) {
    px::vorel engine;
    engine.set_neighborhood_axes({0, 0, 5, 7, -2});
    expect_extent(engine.neighborhood_axes, {1, 1, 1, 0, 1});
    engine.set_neighborhood_axes({1, 1, 0, 1, 0});
    expect_extent(engine.neighborhood_axes, {1, 1, 0, 0, 0});
}

// An axis must be a single sample with radius 0, or at least 2r + 1 long.
struct fit_case {
    px::extent dims;
    px::extent radius;
    const char* message;  // nullptr: the patch fits
};

class PatchFit : public testing::TestWithParam<fit_case> {};

TEST_P(PatchFit, AlongEveryAxis) {
    const fit_case& c = GetParam();
    const px::vorel engine = engine_test::engine_with_radius(c.radius);
    if (c.message == nullptr) {
        EXPECT_NO_THROW(engine.check_patch_fits(c.dims));
    } else {
        expect_invalid_argument([&] { engine.check_patch_fits(c.dims); }, c.message);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Engine, PatchFit,
    testing::Values(
        fit_case{{7, 7, 1, 1, 1}, {3, 3, 0, 0, 0}, nullptr},
        fit_case{{1, 1, 1, 1, 1}, {0, 0, 0, 0, 0}, nullptr},
        fit_case{{0, 0, 0, 0, 0}, {3, 3, 3, 0, 3}, nullptr},
        fit_case{{3, 5, 7, 2, 9}, {1, 2, 3, 0, 4}, nullptr},
        fit_case{{6, 7, 1, 1, 1}, {3, 3, 0, 0, 0},
                 "the patch does not fit along x: radius 3 needs 7 samples, the axis has 6"},
        fit_case{{20, 1, 1, 1, 1}, {3, 3, 0, 0, 0},
                 "the patch does not fit along y: radius 3 needs 7 samples, the axis has 1"},
        fit_case{{9, 9, 2, 1, 1}, {3, 3, 1, 0, 0},
                 "the patch does not fit along z: radius 1 needs 3 samples, the axis has 2"},
        fit_case{{9, 9, 3, 1, 4}, {3, 3, 1, 0, 2},
                 "the patch does not fit along t: radius 2 needs 5 samples, the axis has 4"}));

}  // namespace
