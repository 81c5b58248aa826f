#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>
#include <vector>

#include "noise/sensor_noise.hpp"
#include "noise_test_images.hpp"

namespace {

using px::sensor_noise;

TEST(NoiseMedian, OddEvenEmptySingleAndSorted) {
    std::vector<double> odd{3, 1, 2};
    EXPECT_EQ(sensor_noise::median(odd), 2.0);
    EXPECT_EQ(odd, (std::vector<double>{1, 2, 3}));

    std::vector<double> even{4, 1, 3, 2};
    EXPECT_EQ(sensor_noise::median(even), 2.5);
    EXPECT_EQ(even, (std::vector<double>{1, 2, 3, 4}));

    std::vector<double> empty;
    EXPECT_EQ(sensor_noise::median(empty), 0.0);
    std::vector<double> single{7};
    EXPECT_EQ(sensor_noise::median(single), 7.0);
}

TEST(NoiseMedian, FloatMiddlePairIsAddedInFloat) {
    // 16777217 is not a float: the float sum of the middle pair rounds before halving.
    std::vector<float> even{16777216.0f, 1.0f, 0.0f, 16777216.0f + 2.0f};
    EXPECT_EQ(sensor_noise::median(even), 8388608.0);
}

TEST(NoiseMedian, NaNSortsLastWithoutBreakingTheOrder) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    std::vector<double> few{nan, 3, nan, 1, 2};
    EXPECT_EQ(sensor_noise::median(few), 3.0);
    EXPECT_EQ(few[0], 1.0);
    EXPECT_TRUE(std::isnan(few[4]));

    // Long enough for the sort's unguarded inner loops, which an inconsistent
    // order would run past the ends of the list.
    std::mt19937 generator(7);
    std::uniform_real_distribution<double> value(-1.0, 1.0);
    std::vector<double> many(5000);
    for (double& v : many) v = value(generator) < -0.5 ? nan : value(generator);
    const auto numbers = std::count_if(many.begin(), many.end(), [](double v) { return !std::isnan(v); });
    sensor_noise::median(many);
    EXPECT_TRUE(std::is_sorted(many.begin(), many.begin() + numbers));
    EXPECT_TRUE(std::all_of(many.begin() + numbers, many.end(), [](double v) { return std::isnan(v); }));
}

std::vector<float> residuals_of(const px::array& image) {
    px::array residuals(image.dims, 0.0f);
    sensor_noise::pseudo_residuals(image, residuals);
    return {residuals.values.begin(), residuals.values.end()};
}

TEST(PseudoResiduals, ScaledDifferenceFromNeighborMean) {
    EXPECT_EQ(residuals_of(noise_test::line({1, 2, 4})), (std::vector<float>{-0.70710677f, -0.40824831f, 1.41421354f}));
    EXPECT_EQ(residuals_of(noise_test::line({0, 1, 2, 3, 4})),
              (std::vector<float>{-0.70710677f, 0, 0, 0, 0.70710677f}));
    EXPECT_EQ(residuals_of(noise_test::line({5})), (std::vector<float>{0.0f}));
}

TEST(PseudoResiduals, InteriorSampleHasEightyNeighbors) {
    // An impulse of 81 in a 3^4 block of zeros: the centre sees 80 zero neighbors.
    px::array image(px::extent{3, 3, 3, 1, 3}, 0.0f);
    image.at(1, 1, 1, 0, 1) = 81.0f;
    const std::vector<float> residuals = residuals_of(image);
    EXPECT_FLOAT_EQ(residuals[static_cast<std::size_t>(image.index(1, 1, 1, 0, 1))],
                    80.0f * 81.0f / std::sqrt(80.0f * 81.0f));
}

TEST(PseudoResiduals, NeverMixChannels) {
    px::array image(px::extent{4, 3, 2, 2, 1}, 0.0f);
    for (std::int32_t z = 0; z < 2; ++z) {
        for (std::int32_t y = 0; y < 3; ++y) {
            for (std::int32_t x = 0; x < 4; ++x) {
                const float value = static_cast<float>((x * 7 + y * 3 + z * 5) % 11);
                image.at(x, y, z, 0, 0) = value;
                image.at(x, y, z, 1, 0) = value + 10.0f;
            }
        }
    }
    const std::vector<float> residuals = residuals_of(image);
    const std::vector<float> first(residuals.begin(), residuals.begin() + 24);
    const std::vector<float> second(residuals.begin() + 24, residuals.end());
    EXPECT_EQ(first, second);
}

TEST(PseudoResiduals, RefusesAnOutputOfAnotherShape) {
    const px::array image = noise_test::line({1, 2, 4});
    px::array residuals(px::extent{2, 1, 1, 1, 1}, 0.0f);
    EXPECT_THROW(sensor_noise::pseudo_residuals(image, residuals), std::invalid_argument);
}

TEST(GaussianStd, RobustLevelOfSmallImages) {
    EXPECT_NEAR(sensor_noise::gaussian_std(noise_test::line({1, 2, 4})), 1.4826 * 0.29885846, 1e-7);
    EXPECT_EQ(sensor_noise::gaussian_std(px::array(px::extent{8, 8, 1, 1, 1}, 5.0f)), 0.0);
    EXPECT_EQ(sensor_noise::gaussian_std(noise_test::line({3})), 0.0);
    EXPECT_EQ(sensor_noise::gaussian_std(px::array()), 0.0);
}

TEST(GaussianStd, AFewNaNSamplesLeaveAFiniteLevel) {
    px::array image = noise_test::noisy_plane(64, 64, 100.0f, 0.0f, 4.0f, 3);
    image.at(10, 10, 0, 0, 0) = std::numeric_limits<float>::quiet_NaN();
    image.at(40, 20, 0, 0, 0) = std::numeric_limits<float>::infinity();
    const double sigma = sensor_noise::gaussian_std(image);
    EXPECT_TRUE(std::isfinite(sigma));
    EXPECT_NEAR(sigma, 2.0, 0.3);
}

}  // namespace
