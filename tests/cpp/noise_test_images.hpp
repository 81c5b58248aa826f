#pragma once
// Small images for the noise-model tests.

#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

#include "core/array.hpp"

namespace noise_test {

// A 1-D image along x holding the given samples.
inline px::array line(const std::vector<float>& samples) {
    return px::array(px::extent{static_cast<std::int32_t>(samples.size()), 1, 1, 1, 1}, samples.data());
}

// A Y x X image of one channel around `level`: a gentle ramp plus
// Poisson-Gaussian noise of variance gain * intensity + offset.
inline px::array noisy_plane(std::int32_t width, std::int32_t height, float level, float gain, float offset,
                             std::uint32_t seed) {
    std::mt19937 generator(seed);
    std::normal_distribution<float> normal(0.0f, 1.0f);
    px::array image(px::extent{width, height, 1, 1, 1}, 0.0f);
    for (std::int32_t y = 0; y < height; ++y) {
        for (std::int32_t x = 0; x < width; ++x) {
            const float clean = level * (1.0f + static_cast<float>(x + y) / static_cast<float>(width + height));
            const float sd = std::sqrt(gain * clean + offset);
            image.at(x, y, 0, 0, 0) = clean + sd * normal(generator);
        }
    }
    return image;
}

}  // namespace noise_test
