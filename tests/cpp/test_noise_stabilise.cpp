#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <stdexcept>
#include <string>

#include "noise/sensor_noise.hpp"
#include "noise_test_images.hpp"

namespace {

using px::sensor_noise;

sensor_noise model(std::vector<float> gain, std::vector<float> offset) {
    sensor_noise noise;
    noise.gain = std::move(gain);
    noise.offset = std::move(offset);
    return noise;
}

struct transform_case {
    float gain;
    float offset;
    float value;
    float forward;
};

TEST(Stabilise, ForwardAndBackForSeveralModels) {
    const transform_case cases[] = {
        {1.0f, 0.0f, 4.0f, 4.1833001f},  // 2 sqrt(4.375)
        {1.0f, 0.0f, 0.0f, 1.2247449f},  // 2 sqrt(0.375)
        {2.0f, 1.0f, 3.0f, 2.9154758f},  // sqrt(8.5)
        {0.5f, -2.0f, 10.0f, 7.0356236f},
    };
    for (const transform_case& c : cases) {
        const sensor_noise noise = model({c.gain}, {c.offset});
        px::array image = noise_test::line({c.value});
        noise.gat(image);
        EXPECT_NEAR(image.values[0], c.forward, 2e-6f) << "gain " << c.gain;
        noise.igat(image);
        EXPECT_NEAR(image.values[0], c.value + 0.25f, 2e-5f) << "gain " << c.gain;
    }
}

TEST(Stabilise, NegativeArgumentIsClampedForwardButNotBack) {
    const sensor_noise noise = model({1.0f}, {0.0f});
    px::array image = noise_test::line({-1.0f, std::numeric_limits<float>::quiet_NaN()});
    noise.gat(image);
    EXPECT_EQ(image.values, (px::large_vector<float>{0.0f, 0.0f}));
    noise.igat(image);
    EXPECT_EQ(image.values, (px::large_vector<float>{-0.125f, -0.125f}));
}

TEST(Stabilise, EachChannelUsesItsOwnParameters) {
    // Two channels of 3 x 2 x 2 frames hold the same values; only the parameters differ.
    const px::extent dims{3, 2, 1, 2, 2};
    px::array image(dims, 0.0f);
    for (std::int32_t t = 0; t < 2; ++t)
        for (std::int32_t y = 0; y < 2; ++y)
            for (std::int32_t x = 0; x < 3; ++x) {
                const float value = static_cast<float>(10 * t + 3 * y + x);
                image.at(x, y, 0, 0, t) = value;
                image.at(x, y, 0, 1, t) = value;
            }
    const px::array input = image;
    const sensor_noise noise = model({1.0f, 2.0f, 99.0f}, {0.0f, 1.0f});  // a surplus gain is never read
    noise.gat(image);
    for (std::int32_t t = 0; t < 2; ++t)
        for (std::int32_t y = 0; y < 2; ++y)
            for (std::int32_t x = 0; x < 3; ++x) {
                const float v = input.at(x, y, 0, 0, t);
                EXPECT_FLOAT_EQ(image.at(x, y, 0, 0, t), 2.0f * std::sqrt(v + 0.375f));
                EXPECT_FLOAT_EQ(image.at(x, y, 0, 1, t), std::sqrt(2.0f * v + 2.5f));
            }
    noise.igat(image);
    for (std::size_t i = 0; i < image.values.size(); ++i) {
        EXPECT_NEAR(image.values[i], input.values[i] + 0.25f, 1e-4f);
    }
}

std::string parameter_error(const sensor_noise& noise, int channels) {
    try {
        noise.check_parameters(channels);
    } catch (const std::invalid_argument& error) {
        return error.what();
    }
    return "";
}

TEST(Stabilise, ParametersAreCheckedBeforeAnySample) {
    EXPECT_EQ(parameter_error(model({1.0f}, {0.0f}), 3), "gain needs one entry per channel: got 1 for 3 channels");
    EXPECT_EQ(parameter_error(model({1.0f, 1.0f}, {}), 1), "offset needs one entry per channel: got 0 for 1 channel");
    EXPECT_EQ(parameter_error(model({1.0f, 0.0f}, {0.0f, 0.0f}), 2), "gain entries must be finite and non-zero");
    EXPECT_EQ(parameter_error(model({std::numeric_limits<float>::infinity()}, {0.0f}), 1),
              "gain entries must be finite and non-zero");
    EXPECT_EQ(parameter_error(model({1.0f}, {std::numeric_limits<float>::quiet_NaN()}), 1),
              "offset entries must be finite");
    // Entries beyond the channel count are not used and not checked.
    EXPECT_EQ(parameter_error(model({2.0f, 0.0f}, {1.0f}), 1), "");

    // The default model has one zero gain: the transforms refuse it untouched.
    const sensor_noise fresh;
    px::array image = noise_test::line({1.0f, 2.0f});
    EXPECT_THROW(fresh.gat(image), std::invalid_argument);
    EXPECT_THROW(fresh.igat(image), std::invalid_argument);
    EXPECT_EQ(image.values, (px::large_vector<float>{1.0f, 2.0f}));
}

}  // namespace
