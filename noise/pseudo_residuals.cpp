// Pseudo-residuals: every sample minus the mean of its neighbors, a local
// probe of the noise that removes smooth image content.

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <stdexcept>

#include "noise/sensor_noise.hpp"

namespace px {

namespace {

// At most 3^4 - 1 neighbors along x, y, z and t.
constexpr int max_neighbors = 80;

// The inclusive range [first, last] of positions within one step of p on an
// axis of the given length.
struct neighbor_range {
    std::int64_t first;
    std::int64_t last;
};

neighbor_range around(std::int64_t p, std::int64_t length) {
    return {std::max<std::int64_t>(p - 1, 0), std::min<std::int64_t>(p + 1, length - 1)};
}

// Linear offsets of one step along y, z and t, and of the start of a channel.
struct sample_strides {
    std::int64_t y;
    std::int64_t z;
    std::int64_t channel;
    std::int64_t t;
};

struct neighbor_total {
    float count = 0.0f;
    float sum = 0.0f;
};

// Count and single-precision sum of the samples in the ranges, of the channel
// starting at channel_base, except the sample at `here`; t outermost, x
// innermost, each ascending.
neighbor_total sum_neighbors(const float* samples, const sample_strides& strides, std::int64_t channel_base,
                             const neighbor_range (&ranges)[4], std::int64_t here) {
    const neighbor_range& rx = ranges[0];
    neighbor_total total;
    for (std::int64_t t = ranges[3].first; t <= ranges[3].last; ++t) {
        for (std::int64_t z = ranges[2].first; z <= ranges[2].last; ++z) {
            for (std::int64_t y = ranges[1].first; y <= ranges[1].last; ++y) {
                const std::int64_t row = channel_base + strides.t * t + strides.z * z + strides.y * y;
                for (std::int64_t x = rx.first; x <= rx.last; ++x) {
                    if (row + x == here) continue;
                    total.count += 1.0f;
                    total.sum += samples[row + x];
                }
            }
        }
    }
    return total;
}

}  // namespace

void sensor_noise::pseudo_residuals(const array& image, array& residuals) {
    const extent& dims = image.dims;
    const extent& out = residuals.dims;
    if (out.x != dims.x || out.y != dims.y || out.z != dims.z || out.c != dims.c || out.t != dims.t ||
        residuals.values.size() != image.values.size()) {
        throw std::invalid_argument("pseudo-residuals need an output array of the image's shape");
    }

    // 1/sqrt(n (n + 1)) for every possible neighbor count n, formed in double
    // and rounded once to float.
    float scale[max_neighbors + 1] = {};
    for (int n = 1; n <= max_neighbors; ++n) {
        scale[n] = static_cast<float>(1.0 / std::sqrt(static_cast<double>(n) * (static_cast<double>(n) + 1.0)));
    }

    sample_strides strides{};
    strides.y = dims.x;
    strides.z = strides.y * dims.y;
    strides.channel = strides.z * dims.z;
    strides.t = strides.channel * dims.c;
    const float* samples = image.values.data();

    for (std::int64_t t = 0; t < dims.t; ++t) {
        for (std::int64_t c = 0; c < dims.c; ++c) {
            // Neighbors share the channel: they differ from a sample only along x, y, z and t.
            const std::int64_t channel_base = strides.channel * c;
            for (std::int64_t z = 0; z < dims.z; ++z) {
                for (std::int64_t y = 0; y < dims.y; ++y) {
                    for (std::int64_t x = 0; x < dims.x; ++x) {
                        const neighbor_range ranges[4] = {around(x, dims.x), around(y, dims.y), around(z, dims.z),
                                                          around(t, dims.t)};
                        const std::int64_t here = channel_base + strides.t * t + strides.z * z + strides.y * y + x;
                        const neighbor_total n = sum_neighbors(samples, strides, channel_base, ranges, here);
                        if (n.count >= 1.0f) {
                            residuals.values[here] =
                                (n.count * samples[here] - n.sum) * scale[static_cast<int>(n.count)];
                        }
                    }
                }
            }
        }
    }
}

}  // namespace px
