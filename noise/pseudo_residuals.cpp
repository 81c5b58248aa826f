// Pseudo-residuals: every sample minus the mean of its neighbours, a local
// probe of the noise that removes smooth image content.

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <stdexcept>

#include "noise/sensor_noise.hpp"

namespace px {

namespace {

// At most 3^4 - 1 neighbours along x, y, z and t.
constexpr int max_neighbours = 80;

// The inclusive range [first, last] of positions within one step of p on an
// axis of the given length.
struct neighbour_range {
    std::int64_t first;
    std::int64_t last;
};

neighbour_range around(std::int64_t p, std::int64_t length) {
    return {std::max<std::int64_t>(p - 1, 0), std::min<std::int64_t>(p + 1, length - 1)};
}

}  // namespace

void sensor_noise::pseudo_residuals(const array& image, array& residuals) {
    const extent& dims = image.dims;
    const extent& out = residuals.dims;
    if (out.x != dims.x || out.y != dims.y || out.z != dims.z || out.c != dims.c || out.t != dims.t ||
        residuals.values.size() != image.values.size()) {
        throw std::invalid_argument("pseudo-residuals need an output array of the image's shape");
    }

    // 1/sqrt(n (n + 1)) for every possible neighbour count n, formed in double
    // and rounded once to float.
    float scale[max_neighbours + 1] = {};
    for (int n = 1; n <= max_neighbours; ++n) {
        scale[n] = static_cast<float>(1.0 / std::sqrt(static_cast<double>(n) * (static_cast<double>(n) + 1.0)));
    }

    const std::int64_t stride_y = dims.x;
    const std::int64_t stride_z = stride_y * dims.y;
    const std::int64_t stride_t = stride_z * dims.z * dims.c;
    const float* samples = image.values.data();

    for (std::int64_t t = 0; t < dims.t; ++t) {
        const neighbour_range rt = around(t, dims.t);
        for (std::int64_t c = 0; c < dims.c; ++c) {
            // The channel is fixed: neighbours differ from s only along x, y, z and t.
            const std::int64_t channel_base = c * stride_z * dims.z;
            for (std::int64_t z = 0; z < dims.z; ++z) {
                const neighbour_range rz = around(z, dims.z);
                for (std::int64_t y = 0; y < dims.y; ++y) {
                    const neighbour_range ry = around(y, dims.y);
                    for (std::int64_t x = 0; x < dims.x; ++x) {
                        const neighbour_range rx = around(x, dims.x);
                        const std::int64_t here = x + stride_y * y + stride_z * z + channel_base + stride_t * t;
                        float count = 0.0f;
                        float sum = 0.0f;
                        for (std::int64_t tt = rt.first; tt <= rt.last; ++tt) {
                            for (std::int64_t zz = rz.first; zz <= rz.last; ++zz) {
                                for (std::int64_t yy = ry.first; yy <= ry.last; ++yy) {
                                    const std::int64_t row = stride_y * yy + stride_z * zz + channel_base + stride_t * tt;
                                    for (std::int64_t xx = rx.first; xx <= rx.last; ++xx) {
                                        if (row + xx == here) continue;
                                        count += 1.0f;
                                        sum += samples[row + xx];
                                    }
                                }
                            }
                        }
                        if (count >= 1.0f) {
                            residuals.values[here] = (count * samples[here] - sum) * scale[static_cast<int>(count)];
                        }
                    }
                }
            }
        }
    }
}

}  // namespace px
