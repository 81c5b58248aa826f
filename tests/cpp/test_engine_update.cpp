// From a weighted patch sum to the accumulators (the weight gate, the
// consistency test and the scatter), and from the accumulators to the new
// estimate and variance (normalisation and the inverse-variance blends).

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <string>

#include "denoise/vorel.hpp"
#include "engine_support.hpp"

namespace {

using engine_test::iteration_arrays;

constexpr float nan = std::numeric_limits<float>::quiet_NaN();

// A 9 x 9 image and a 7 x 7 patch around (4, 4), covering x and y 1 .. 7.
const px::extent plane{9, 9, 1, 1, 1};
constexpr std::int32_t centre = 4;
constexpr std::int32_t reach = 3;

bool in_patch(std::int32_t x, std::int32_t y) {
    return std::abs(x - centre) <= reach && std::abs(y - centre) <= reach;
}

// Current estimate and variance that differ from sample to sample.
iteration_arrays varied_plane() {
    iteration_arrays work(px::array(plane, 0.0f), 1.0f);
    for (std::int32_t y = 0; y < plane.y; ++y) {
        for (std::int32_t x = 0; x < plane.x; ++x) {
            work.estimate.at(x, y, 0, 0, 0) = 10.0f + 0.5f * static_cast<float>(x) + 0.25f * static_cast<float>(y);
            work.variance.at(x, y, 0, 0, 0) = 1.0f + 0.1f * static_cast<float>(x);
        }
    }
    return work;
}

// A weighted patch sum (weight_sum 2) whose estimate departs from the
// current one so that the consistency statistic is the given value, every
// sample adding the same share.
px::array patch_with_statistic(const iteration_arrays& work, double statistic) {
    px::array patch({7, 7, 1, 1, 1}, 0.0f);
    for (std::int32_t dy = -reach; dy <= reach; ++dy) {
        for (std::int32_t dx = -reach; dx <= reach; ++dx) {
            const float v = work.variance.at(centre + dx, centre + dy, 0, 0, 0);
            const float d = static_cast<float>(std::sqrt(statistic / 49.0 * v));
            patch.at(dx + reach, dy + reach, 0, 0, 0) = 2.0f * (work.estimate.at(centre + dx, centre + dy, 0, 0, 0) + d);
        }
    }
    return patch;
}

struct consistency_case {
    const char* name;
    float pvalue;
    double statistic;
    bool accepted;
};

class ConsistencyTest : public testing::TestWithParam<consistency_case> {};

TEST_P(ConsistencyTest, AcceptsOrKeepsCurrentEstimate) {
    const consistency_case& c = GetParam();
    px::vorel engine;  // 7 x 7 patches by default
    engine.set_pvalue(c.pvalue);
    iteration_arrays work = varied_plane();
    px::array patch = patch_with_statistic(work, c.statistic);
    const float weight_sum = 2.0f;
    const float weight_sq_sum = 0.5f;  // patch variance 0.5 / 2^2
    engine.add_patch_to_image_if(work.estimate, work.variance, work.next_estimate, work.next_variance,
                                 work.weights, patch, weight_sq_sum, weight_sum, centre, centre, 0, 0);

    for (std::int32_t y = 0; y < plane.y; ++y) {
        for (std::int32_t x = 0; x < plane.x; ++x) {
            SCOPED_TRACE(testing::Message() << "x " << x << ", y " << y);
            const float next = work.next_estimate.at(x, y, 0, 0, 0);
            const float next_variance = work.next_variance.at(x, y, 0, 0, 0);
            if (!in_patch(x, y)) {
                EXPECT_EQ(next, 0.0f);
                EXPECT_EQ(next_variance, 0.0f);
                EXPECT_EQ(work.weights.at(x, y, 0, 0, 0), 0.0f);
                continue;
            }
            // Accepted or not, the patch counts once at every sample it covers.
            EXPECT_EQ(work.weights.at(x, y, 0, 0, 0), 1.0f);
            if (c.accepted) {
                EXPECT_EQ(next, patch.at(x - centre + reach, y - centre + reach, 0, 0, 0));
                EXPECT_EQ(next_variance, 0.125f);
            } else {
                EXPECT_EQ(next, work.estimate.at(x, y, 0, 0, 0));
                EXPECT_EQ(next_variance, work.variance.at(x, y, 0, 0, 0));
            }
        }
    }
}

// Threshold: six times the chi-square quantile, 444.343 for 49 samples at
// the default p-value, 6 x 48.5 at p-value 0.5, infinite at 0 and 1.
INSTANTIATE_TEST_SUITE_P(
    Engine, ConsistencyTest,
    testing::Values(consistency_case{"identical", 0.01f, 0.0, true},
                    consistency_case{"just_below_threshold", 0.01f, 444.0, true},
                    consistency_case{"just_above_threshold", 0.01f, 444.7, false},
                    consistency_case{"median_pvalue_below", 0.5f, 290.5, true},
                    consistency_case{"median_pvalue_above", 0.5f, 291.5, false},
                    consistency_case{"pvalue_zero_accepts_finite", 0.0f, 1e6, true},
                    consistency_case{"pvalue_one_accepts_finite", 1.0f, 1e6, true}),
    [](const testing::TestParamInfo<consistency_case>& p) { return std::string(p.param.name); });

struct gate_case {
    const char* name;
    float weight_sum;
    bool adds;
};

class WeightGate : public testing::TestWithParam<gate_case> {};

TEST_P(WeightGate, StrictlyAboveMinWeight) {
    const gate_case& c = GetParam();
    const px::vorel engine;
    ASSERT_EQ(engine.min_weight, 1e-6f);
    iteration_arrays work = varied_plane();
    px::array patch({7, 7, 1, 1, 1}, 3.0f);
    const px::array before = patch;
    engine.add_patch_to_image_if(work.estimate, work.variance, work.next_estimate, work.next_variance,
                                 work.weights, patch, 0.0f, c.weight_sum, centre, centre, 0, 0);
    float total = 0.0f;
    for (const float w : work.weights.values) total += w;
    if (c.adds) {
        EXPECT_EQ(total, 49.0f);
    } else {
        EXPECT_EQ(total, 0.0f);
        EXPECT_EQ(patch.values, before.values);  // not even normalised
        for (const float v : work.next_estimate.values) ASSERT_EQ(v, 0.0f);
        for (const float v : work.next_variance.values) ASSERT_EQ(v, 0.0f);
    }
}

INSTANTIATE_TEST_SUITE_P(Engine, WeightGate,
                         testing::Values(gate_case{"zero", 0.0f, false}, gate_case{"equal", 1e-6f, false},
                                         gate_case{"nan", nan, false},
                                         gate_case{"just_above", std::nextafter(1e-6f, 1.0f), true},
                                         gate_case{"one", 1.0f, true}),
                         [](const testing::TestParamInfo<gate_case>& p) { return std::string(p.param.name); });

TEST(Scatter, CanonicalPatchOrderAcrossChannelsAndFrames) {
    // Patch 3 x 3 x 3 over 2 channels and 3 frames: sample k of the patch
    // estimate (value k) must land at offset (dx, dy, dz, ch, dt) with dx
    // fastest and dt slowest.
    px::vorel engine = engine_test::engine_with_radius({1, 1, 1, 0, 1});
    engine.set_pvalue(1.0f);  // every finite statistic is accepted
    const px::extent dims{5, 5, 3, 2, 3};
    iteration_arrays work(px::array(dims, 0.0f), 1.0f);
    px::array patch({3, 3, 3, 2, 3}, 0.0f);
    for (std::size_t k = 0; k < patch.values.size(); ++k) patch.values[k] = static_cast<float>(k);
    engine.add_patch_to_image_if(work.estimate, work.variance, work.next_estimate, work.next_variance,
                                 work.weights, patch, 1.0f, 1.0f, 2, 2, 1, 1);

    float k = 0.0f;
    for (std::int32_t t = 0; t < 3; ++t)
        for (std::int32_t ch = 0; ch < 2; ++ch)
            for (std::int32_t z = 0; z < 3; ++z)
                for (std::int32_t y = 1; y <= 3; ++y)
                    for (std::int32_t x = 1; x <= 3; ++x) {
                        ASSERT_EQ(work.next_estimate.at(x, y, z, ch, t), k);
                        k += 1.0f;
                    }
    float covered = 0.0f;
    for (const float w : work.weights.values) covered += w;
    EXPECT_EQ(covered, 162.0f);
}

// normalize on one sample: y noisy, u current estimate with variance g,
// sum_e and sum_f the accumulated estimates and variances of n
// contributions, a the renoise variance.
struct blend_case {
    const char* name;
    float y, u, g, n, sum_e, sum_f, a;
    float estimate, variance;
};

class Blend : public testing::TestWithParam<blend_case> {};

TEST_P(Blend, NewEstimateAndVariance) {
    const blend_case& c = GetParam();
    const px::vorel engine;  // min_weight 1e-6, min_variance 1e-8
    const px::extent one{1, 1, 1, 1, 1};
    const px::array image(one, c.y);
    px::array estimate(one, c.u);
    px::array variance(one, c.g);
    px::array next_estimate(one, c.sum_e);
    px::array next_variance(one, c.sum_f);
    px::array weights(one, c.n);
    engine.normalize(image, c.a, estimate, variance, next_estimate, next_variance, weights);
    EXPECT_NEAR(next_estimate.values[0], c.estimate, 1e-6f * std::abs(c.estimate));
    EXPECT_NEAR(next_variance.values[0], c.variance, 1e-6f * std::abs(c.variance));
}

INSTANTIATE_TEST_SUITE_P(
    Engine, Blend,
    testing::Values(
        // fewer contributions than min_weight (strictly): keep the current estimate
        blend_case{"no_contribution", 1, 4, 2, 0, 7, 9, 0, 4, 2},
        blend_case{"count_equal_to_min_weight", 1, 4, 2, 1e-6f, 7, 9, 0, 4, 2},
        blend_case{"count_nan", 1, 4, 2, nan, 7, 9, 0, 4, 2},
        // two-way: mean of u and e, variance 1.5 f g / (f + g)
        blend_case{"equal_variances", 0, 1, 0.5f, 2, 6, 1, 0, 2, 0.375f},
        blend_case{"unequal_variances", 0, 2, 3, 1, 6, 1, 0, 5, 1.125f},
        // three-way: inverse-variance weights, variance 1 / (1/a + 1/g + 1/f)
        blend_case{"renoise_all_equal", 3, 6, 1, 4, 36, 4, 1, 6, 1.0f / 3.0f},
        blend_case{"renoise_unequal", 1, 2, 4, 1, 3, 1, 2, 4.0f / 1.75f, 1.0f / 1.75f},
        // variance floored at min_variance; a denominator at or below
        // min_weight leaves the plain mean
        blend_case{"floored_variance", 0, 5, 0.5e-6f, 1, 7, 0, 0, 7, 1e-8f},
        blend_case{"nan_variance", 0, 5, 0.5e-6f, 1, 7, nan, 0, 7, 1e-8f},
        blend_case{"renoise_small_denominator", 2, 5, 1e-4f, 1, 7, 1e-4f, 1e-4f, 7, 1e-4f}),
    [](const testing::TestParamInfo<blend_case>& p) { return std::string(p.param.name); });

}  // namespace
