#pragma once
// Helpers shared by the engine tests: test images, the five work arrays of
// one iteration, and a check for the message of a refused configuration.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <functional>
#include <stdexcept>
#include <string>

#include "core/array.hpp"
#include "denoise/vorel.hpp"

namespace engine_test {

inline px::extent axis_vector(int axis, std::int32_t value, std::int32_t others) {
    px::extent e{others, others, others, others, others};
    switch (axis) {
        case 0: e.x = value; break;
        case 1: e.y = value; break;
        case 2: e.z = value; break;
        default: e.t = value; break;
    }
    return e;
}

// A smooth ramp plus deterministic pseudo-random noise of standard deviation
// about sigma (sum of four uniforms from a fixed linear congruential sequence).
inline px::array noisy_image(const px::extent& dims, float sigma, std::uint32_t seed = 1) {
    px::array image(dims, 0.0f);
    std::uint32_t state = seed;
    const auto uniform = [&state] {
        state = state * 1664525u + 1013904223u;
        return static_cast<float>(state >> 8) / 16777216.0f - 0.5f;
    };
    for (std::int32_t t = 0; t < dims.t; ++t)
        for (std::int32_t c = 0; c < dims.c; ++c)
            for (std::int32_t z = 0; z < dims.z; ++z)
                for (std::int32_t y = 0; y < dims.y; ++y)
                    for (std::int32_t x = 0; x < dims.x; ++x) {
                        const float smooth = 50.0f + 10.0f * std::sin(0.3f * static_cast<float>(x + 2 * y)) +
                                             5.0f * static_cast<float>(z + t) + 20.0f * static_cast<float>(c);
                        const float noise = (uniform() + uniform() + uniform() + uniform()) * 1.732f;
                        image.at(x, y, z, c, t) = smooth + sigma * noise;
                    }
    return image;
}

// The arrays of one iteration as accumulate and normalize see them: the
// current estimate and variance, and three zeroed accumulators.
struct iteration_arrays {
    px::array estimate;
    px::array variance;
    px::array next_estimate;
    px::array next_variance;
    px::array weights;

    iteration_arrays(const px::array& current, float current_variance)
        : estimate(current),
          variance(current.dims, current_variance),
          next_estimate(current.dims, 0.0f),
          next_variance(current.dims, 0.0f),
          weights(current.dims, 0.0f) {}
};

inline px::vorel engine_with_radius(const px::extent& radius) {
    px::vorel engine;
    engine.set_patch_radius(radius);
    return engine;
}

// Expects action to throw std::invalid_argument with exactly this message.
inline void expect_invalid_argument(const std::function<void()>& action, const std::string& message) {
    try {
        action();
        ADD_FAILURE() << "no exception; expected \"" << message << "\"";
    } catch (const std::invalid_argument& error) {
        EXPECT_EQ(std::string(error.what()), message);
    }
}

inline bool all_finite(const px::array& image) {
    return std::all_of(image.values.begin(), image.values.end(), [](float v) { return std::isfinite(v); });
}

}  // namespace engine_test
