// From a weighted patch sum to the accumulators (the weight gate, the
// consistency test, the scatter) and from the accumulators to the new
// estimate and variance (the inverse-variance blends).

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>

#include "denoise/engine/vorel.hpp"
#include "engine_support.hpp"

namespace {

using engine_test::iteration_arrays;

constexpr float nan = std::numeric_limits<float>::quiet_NaN();

// A 9 x 9 plane whose estimate and variance differ from sample to sample, and
// the default 7 x 7 patch around (4, 4).
iteration_arrays varied_plane() {
    iteration_arrays work(px::array({9, 9, 1, 1, 1}, 0.0f), 1.0f);
    for (std::int32_t y = 0; y < 9; ++y) {
        for (std::int32_t x = 0; x < 9; ++x) {
            work.estimate.at(x, y, 0, 0, 0) = 10.0f + 0.5f * static_cast<float>(x) + 0.25f * static_cast<float>(y);
            work.variance.at(x, y, 0, 0, 0) = 1.0f + 0.1f * static_cast<float>(x);
        }
    }
    return work;
}

struct consistency_case {
    const char* name;
    float pvalue;
    double statistic;
    bool accepted;
};

class ConsistencyTest : public testing::TestWithParam<consistency_case> {};

TEST_P(ConsistencyTest, AcceptsPatchOrVotesForCurrentEstimate) {
    const consistency_case& c = GetParam();
    px::vorel engine;
    engine.set_pvalue(c.pvalue);
    iteration_arrays work = varied_plane();
    // A patch sum of weight 2 whose estimate departs from the current one so
    // that every sample adds the same share of the statistic.
    px::array patch({7, 7, 1, 1, 1}, 0.0f);
    for (std::int32_t y = 1; y <= 7; ++y) {
        for (std::int32_t x = 1; x <= 7; ++x) {
            const double d = std::sqrt(c.statistic / 49.0 * work.variance.at(x, y, 0, 0, 0));
            patch.at(x - 1, y - 1, 0, 0, 0) = 2.0f * (work.estimate.at(x, y, 0, 0, 0) + static_cast<float>(d));
        }
    }
    engine.add_patch_to_image_if(work.estimate, work.variance, work.next_estimate, work.next_variance, work.weights,
                                 patch, 0.5f, 2.0f, 4, 4, 0, 0);

    for (std::int32_t y = 0; y < 9; ++y) {
        for (std::int32_t x = 0; x < 9; ++x) {
            SCOPED_TRACE(testing::Message() << "x " << x << ", y " << y);
            const bool covered = x >= 1 && x <= 7 && y >= 1 && y <= 7;
            // Accepted or not, the patch counts once where it lies.
            EXPECT_EQ(work.weights.at(x, y, 0, 0, 0), covered ? 1.0f : 0.0f);
            float estimate = 0.0f, variance = 0.0f;
            if (covered && c.accepted) {
                estimate = patch.at(x - 1, y - 1, 0, 0, 0);
                variance = 0.125f;  // 0.5 / 2^2
            } else if (covered) {
                estimate = work.estimate.at(x, y, 0, 0, 0);
                variance = work.variance.at(x, y, 0, 0, 0);
            }
            EXPECT_EQ(work.next_estimate.at(x, y, 0, 0, 0), estimate);
            EXPECT_EQ(work.next_variance.at(x, y, 0, 0, 0), variance);
        }
    }
}

// Accepted below six times the chi-square quantile: 444.343 for 49 samples
// at p-value 0.01, 6 x 48.5 at 0.5, infinite at 0 and 1.
INSTANTIATE_TEST_SUITE_P(Engine, ConsistencyTest,
                         testing::Values(consistency_case{"identical", 0.01f, 0.0, true},
                                         consistency_case{"just_below", 0.01f, 444.0, true},
                                         consistency_case{"just_above", 0.01f, 444.7, false},
                                         consistency_case{"median_pvalue_above", 0.5f, 291.5, false},
                                         consistency_case{"pvalue_0_accepts_finite", 0.0f, 1e6, true},
                                         consistency_case{"pvalue_1_accepts_finite", 1.0f, 1e6, true}),
                         engine_test::by_name());

TEST(WeightGate, StrictlyAboveMinWeight) {
    const struct {
        float weight_sum;
        bool adds;
    } cases[] = {{0.0f, false}, {1e-6f, false}, {nan, false}, {std::nextafter(1e-6f, 1.0f), true}};
    for (const auto& c : cases) {
        const px::vorel engine;  // min_weight 1e-6
        iteration_arrays work = varied_plane();
        px::array patch({7, 7, 1, 1, 1}, 3.0f);
        engine.add_patch_to_image_if(work.estimate, work.variance, work.next_estimate, work.next_variance, work.weights,
                                     patch, 0.0f, c.weight_sum, 4, 4, 0, 0);
        float total = 0.0f;
        for (const float w : work.weights.values) total += w;
        EXPECT_EQ(total, c.adds ? 49.0f : 0.0f) << "weight_sum " << c.weight_sum;
        if (!c.adds) {
            EXPECT_EQ(patch.values[0], 3.0f);  // not even normalised
        }
    }
}

TEST(Scatter, CanonicalPatchOrderAcrossChannelsAndFrames) {
    // Sample k of a 3 x 3 x 3 patch over 2 channels and 3 frames (value k)
    // lands at its offset with dx fastest, then dy, dz, channel, dt.
    px::vorel engine = engine_test::engine_with_radius({1, 1, 1, 0, 1});
    engine.set_pvalue(1.0f);  // accepts every finite statistic
    iteration_arrays work(px::array({5, 5, 3, 2, 3}, 0.0f), 1.0f);
    px::array patch({3, 3, 3, 2, 3}, 0.0f);
    for (std::size_t k = 0; k < patch.values.size(); ++k) patch.values[k] = static_cast<float>(k);
    engine.add_patch_to_image_if(work.estimate, work.variance, work.next_estimate, work.next_variance, work.weights,
                                 patch, 1.0f, 1.0f, 2, 2, 1, 1);
    float k = 0.0f;
    for (std::int32_t t = 0; t < 3; ++t)
        for (std::int32_t ch = 0; ch < 2; ++ch)
            for (std::int32_t z = 0; z < 3; ++z)
                for (std::int32_t y = 1; y <= 3; ++y)
                    for (std::int32_t x = 1; x <= 3; ++x, k += 1.0f)
                        ASSERT_EQ(work.next_estimate.at(x, y, z, ch, t), k);
}

// normalize on one sample: noisy y, current estimate u with variance g,
// n contributions summing to sum_e and sum_f, renoise variance a.
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
    px::array estimate(one, c.u), variance(one, c.g), next_estimate(one, c.sum_e), next_variance(one, c.sum_f),
        weights(one, c.n);
    engine.normalize(px::array(one, c.y), c.a, estimate, variance, next_estimate, next_variance, weights);
    EXPECT_NEAR(next_estimate.values[0], c.estimate, 1e-6f * c.estimate);
    EXPECT_NEAR(next_variance.values[0], c.variance, 1e-6f * c.variance);
}

INSTANTIATE_TEST_SUITE_P(Engine, Blend,
                         testing::Values(
                             // no more contributions than min_weight: the current estimate stays
                             blend_case{"no_contribution", 1, 4, 2, 0, 7, 9, 0, 4, 2},
                             blend_case{"count_equal_to_min_weight", 1, 4, 2, 1e-6f, 7, 9, 0, 4, 2},
                             // two-way, f = g: mean of u and e, variance 0.75 f
                             blend_case{"equal_variances", 0, 1, 0.5f, 2, 6, 1, 0, 2, 0.375f},
                             blend_case{"unequal_variances", 0, 2, 3, 1, 6, 1, 0, 5, 1.125f},
                             // three-way, a = f = g = 1: (y + u + e) / 3 with variance 1/3; in
                             // general inverse-variance weights and variance 1 / (1/a + 1/g + 1/f)
                             blend_case{"renoise_all_equal", 3, 6, 1, 4, 36, 4, 1, 6, 1.0f / 3.0f},
                             blend_case{"renoise_unequal", 1, 2, 4, 1, 3, 1, 2, 4.0f / 1.75f, 1.0f / 1.75f},
                             // the variance floor, then a blend denominator at or below min_weight keeps the plain mean
                             blend_case{"floored_variance", 0, 5, 0.5e-6f, 1, 7, 0, 0, 7, 1e-8f},
                             blend_case{"nan_variance", 0, 5, 0.5e-6f, 1, 7, nan, 0, 7, 1e-8f},
                             blend_case{"renoise_small_denominator", 2, 5, 1e-4f, 1, 7, 1e-4f, 1e-4f, 7, 1e-4f}),
                         engine_test::by_name());

}  // namespace
