#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

#include "noise/sensor_noise.hpp"
#include "noise/window_statistic.hpp"
#include "noise_test_images.hpp"

namespace {

using px::sensor_noise;

// Runs estimate and returns what it printed.
std::string estimate_output(sensor_noise& noise, const px::array& image) {
    testing::internal::CaptureStdout();
    noise.estimate(image);
    return testing::internal::GetCapturedStdout();
}

TEST(Estimate, ConstantImageFallsBackToTheNeutralModel) {
    sensor_noise noise;
    const std::string printed = estimate_output(noise, px::array(px::extent{12, 12, 1, 1, 1}, 5.0f));
    EXPECT_EQ(printed, "error\n d=0.000000\n sw=16.000000\n swx=80.000000\n swxx=400.000000\n N=0.000000");
    EXPECT_EQ(noise.gain, (std::vector<float>{1.0f}));
    EXPECT_EQ(noise.offset, (std::vector<float>{0.0f}));
}

TEST(Estimate, ImageTooSmallForAnyWindowFails) {
    sensor_noise noise;
    const std::string printed = estimate_output(noise, noise_test::line({1, 2}));
    EXPECT_EQ(printed, "error\n d=0.000000\n sw=0.000000\n swx=0.000000\n swxx=0.000000\n N=0.000000");
    EXPECT_EQ(noise.gain, (std::vector<float>{1.0f}));
    EXPECT_EQ(noise.offset, (std::vector<float>{0.0f}));
}

TEST(Estimate, EmptyImageGivesEmptyModel) {
    sensor_noise noise;
    EXPECT_EQ(estimate_output(noise, px::array()), "");
    EXPECT_TRUE(noise.gain.empty());
    EXPECT_TRUE(noise.offset.empty());

    noise.block_size = 0;
    EXPECT_THROW(noise.estimate(noise_test::line({1, 2, 3})), std::invalid_argument);
}

TEST(Estimate, EachChannelGetsItsOwnFit) {
    // Three channels with different noise lines; the middle one is constant and fails.
    const px::array first = noise_test::noisy_plane(96, 96, 200.0f, 1.0f, 0.0f, 1);
    const px::array third = noise_test::noisy_plane(96, 96, 200.0f, 4.0f, 0.0f, 2);
    px::array image(px::extent{96, 96, 1, 3, 1}, 7.0f);
    std::copy(first.values.begin(), first.values.end(), image.values.begin());
    std::copy(third.values.begin(), third.values.end(), image.values.begin() + 2 * 96 * 96);

    sensor_noise noise;
    ASSERT_EQ(noise.gain.size(), 1u);
    const std::string printed = estimate_output(noise, image);
    EXPECT_EQ(printed.rfind("error\n", 0), 0u);
    ASSERT_EQ(noise.gain.size(), 3u);
    ASSERT_EQ(noise.offset.size(), 3u);
    EXPECT_EQ(noise.gain[1], 1.0f);
    EXPECT_EQ(noise.offset[1], 0.0f);
    // Variance grows with intensity in both fitted channels, four times as fast in the third.
    EXPECT_GT(noise.gain[0], 0.5f);
    EXPECT_GT(noise.gain[2], 2.0f * noise.gain[0]);
}

TEST(Estimate, NaNSamplesNeverBreakTheFit) {
    px::array image = noise_test::noisy_plane(64, 64, 100.0f, 1.0f, 4.0f, 5);
    sensor_noise clean;
    clean.estimate(image);
    // A few scattered NaN samples sort last in every median and barely move the fit.
    for (std::size_t i = 100; i < image.values.size(); i += 997)
        image.values[i] = std::numeric_limits<float>::quiet_NaN();
    sensor_noise spotted;
    spotted.estimate(image);
    ASSERT_EQ(spotted.gain.size(), 1u);
    EXPECT_NEAR(spotted.gain[0], clean.gain[0], 0.1f * std::fabs(clean.gain[0]));

    // Nothing but NaN: a NaN model, without any read outside the lists.
    const px::array all_nan(px::extent{9, 9, 1, 1, 1}, std::numeric_limits<float>::quiet_NaN());
    estimate_output(spotted, all_nan);
    ASSERT_EQ(spotted.gain.size(), 1u);
    EXPECT_TRUE(std::isnan(spotted.gain[0]));
}

// The window a measurement used, read back from an image whose samples hold
// one of their coordinates.
struct window_extent {
    double first;
    double last;
    std::size_t samples;
};

window_extent measured_along(int axis, const px::anchor_position& anchor, const px::extent& dims) {
    px::array image(dims, 0.0f);
    for (std::int32_t t = 0; t < dims.t; ++t)
        for (std::int32_t z = 0; z < dims.z; ++z)
            for (std::int32_t y = 0; y < dims.y; ++y)
                for (std::int32_t x = 0; x < dims.x; ++x) {
                    const std::int32_t coordinate[4] = {x, y, z, t};
                    image.at(x, y, z, 0, t) = static_cast<float>(coordinate[axis]);
                }
    const px::array residuals(dims, 0.0f);
    px::window_lists lists;
    px::block_statistic statistic;
    EXPECT_TRUE(px::measure_window(image, residuals, 0, anchor, 3, lists, statistic));
    // The median leaves the intensities sorted.
    return {lists.intensities.front(), lists.intensities.back(), lists.intensities.size()};
}

TEST(WindowStatistic, WindowsAreClippedToTheImage) {
    const px::extent dims{12, 12, 12, 1, 12};
    for (int axis = 0; axis < 4; ++axis) {
        const window_extent corner = measured_along(axis, {0, 0, 0, 0}, dims);
        EXPECT_EQ(corner.first, 0.0);
        EXPECT_EQ(corner.last, 3.0);
        EXPECT_EQ(corner.samples, 4u * 4u * 4u * 4u);

        const window_extent interior = measured_along(axis, {6, 6, 6, 6}, dims);
        EXPECT_EQ(interior.first, axis == 0 ? 4.0 : 3.0);  // x reaches 2 below, the others 3
        EXPECT_EQ(interior.last, 9.0);
        EXPECT_EQ(interior.samples, 6u * 7u * 7u * 7u);

        const window_extent far_edge = measured_along(axis, {9, 9, 9, 9}, dims);
        EXPECT_EQ(far_edge.last, 11.0);
    }
}

}  // namespace
