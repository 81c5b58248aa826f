#pragma once
// Helpers shared by the engine tests: test images, the arrays of one
// iteration, and a check for the message of a refused configuration.

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <functional>
#include <stdexcept>
#include <string>

#include "core/array.hpp"
#include "denoise/engine/vorel.hpp"

namespace engine_test {

// value on axis (0 x, 1 y, 2 z, 3 t), others elsewhere.
inline px::extent axis_vector(int axis, std::int32_t value, std::int32_t others) {
    px::extent e{others, others, others, others, others};
    (axis == 0 ? e.x : axis == 1 ? e.y : axis == 2 ? e.z : e.t) = value;
    return e;
}

// A smooth ramp plus deterministic noise of about sigma (four uniforms from
// a linear congruential sequence).
inline px::array noisy_image(const px::extent& dims, float sigma, std::uint32_t seed = 1) {
    px::array image(dims, 0.0f);
    const auto uniform = [&seed] {
        seed = seed * 1664525u + 1013904223u;
        return static_cast<float>(seed >> 8) / 16777216.0f - 0.5f;
    };
    for (std::size_t i = 0; i < image.values.size(); ++i) {
        const float smooth = 50.0f + 10.0f * std::sin(0.3f * static_cast<float>(i % 97));
        image.values[i] = smooth + sigma * 1.732f * (uniform() + uniform() + uniform() + uniform());
    }
    return image;
}

// The current estimate and variance, and three zeroed accumulators.
struct iteration_arrays {
    px::array estimate, variance, next_estimate, next_variance, weights;

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

// Test names from the name member of a parameter record.
struct by_name {
    template <class Case>
    std::string operator()(const testing::TestParamInfo<Case>& p) const {
        return p.param.name;
    }
};

}  // namespace engine_test
