#pragma once
// The weighted neighborhood sum written straight from its definition: one
// neighbor after the other, one patch sample after the other. The engine's
// vectorised kernels must give exactly these bits.

#include <algorithm>
#include <cmath>
#include <cstdint>

#include "core/array.hpp"
#include "denoise/engine/quantile.hpp"

namespace engine_test {

inline void straight_neighborhood_sum(const px::extent& patch_radius, float quantile, const px::array& image,
                                      float sigma, const px::extent& radius, const px::array& estimate,
                                      const px::array& variance, px::array& patch, float& weight_sq_sum,
                                      float& weight_sum, const std::int32_t (&p)[4]) {
    const px::extent& d = image.dims;
    const std::int32_t size[4] = {d.x, d.y, d.z, d.t};
    const std::int32_t r[4] = {patch_radius.x, patch_radius.y, patch_radius.z, patch_radius.t};
    const std::int32_t search[4] = {radius.x, radius.y, radius.z, radius.t};
    std::int32_t lo[4], hi[4];
    for (int a = 0; a < 4; ++a) {
        lo[a] = std::max(p[a] - search[a], r[a]);
        hi[a] = std::min(p[a] + search[a], size[a] - r[a] - 1);
    }
    const double threshold = px::chi2_threshold(quantile, static_cast<std::int64_t>(patch.values.size()));
    // Visits the patch samples in canonical order: f(k, offset from the centre).
    const auto each_sample = [&](auto&& f) {
        std::size_t k = 0;
        for (std::int32_t dt = -r[3]; dt <= r[3]; ++dt)
            for (std::int32_t c = 0; c < d.c; ++c)
                for (std::int32_t dz = -r[2]; dz <= r[2]; ++dz)
                    for (std::int32_t dy = -r[1]; dy <= r[1]; ++dy)
                        for (std::int32_t dx = -r[0]; dx <= r[0]; ++dx) f(k++, dx, dy, dz, c, dt);
    };
    float w_max = 0.0f;
    for (std::int32_t nt = lo[3]; nt <= hi[3]; ++nt)
        for (std::int32_t nz = lo[2]; nz <= hi[2]; ++nz)
            for (std::int32_t ny = lo[1]; ny <= hi[1]; ++ny)
                for (std::int32_t nx = lo[0]; nx <= hi[0]; ++nx) {
                    if (nx == p[0] && ny == p[1] && nz == p[2] && nt == p[3]) continue;
                    double distance = 0.0;
                    each_sample([&](std::size_t, std::int32_t dx, std::int32_t dy, std::int32_t dz, std::int32_t c,
                                    std::int32_t dt) {
                        const float va = variance.at(p[0] + dx, p[1] + dy, p[2] + dz, c, p[3] + dt);
                        const float vb = variance.at(nx + dx, ny + dy, nz + dz, c, nt + dt);
                        const float diff = estimate.at(p[0] + dx, p[1] + dy, p[2] + dz, c, p[3] + dt) -
                                           estimate.at(nx + dx, ny + dy, nz + dz, c, nt + dt);
                        const float d2 = diff * diff;
                        const float numerator = (va + vb) * d2;
                        const float denominator = va * vb;
                        distance += static_cast<double>(numerator / denominator);
                    });
                    const double w = std::exp(-0.25 * distance / threshold);
                    each_sample([&](std::size_t k, std::int32_t dx, std::int32_t dy, std::int32_t dz, std::int32_t c,
                                    std::int32_t dt) {
                        const float s = image.at(nx + dx, ny + dy, nz + dz, c, nt + dt);
                        patch.values[k] =
                            static_cast<float>(static_cast<double>(patch.values[k]) + static_cast<double>(s) * w);
                    });
                    const double sigma_w = static_cast<double>(sigma) * w;
                    weight_sq_sum = static_cast<float>(static_cast<double>(weight_sq_sum) + sigma_w * sigma_w);
                    weight_sum = static_cast<float>(static_cast<double>(weight_sum) + w);
                    if (w > static_cast<double>(w_max)) w_max = static_cast<float>(w);
                }
    each_sample([&](std::size_t k, std::int32_t dx, std::int32_t dy, std::int32_t dz, std::int32_t c, std::int32_t dt) {
        patch.values[k] = image.at(p[0] + dx, p[1] + dy, p[2] + dz, c, p[3] + dt) * w_max + patch.values[k];
    });
    const float sigma_w_max = sigma * w_max;
    weight_sq_sum = weight_sq_sum + sigma_w_max * sigma_w_max;
    weight_sum = weight_sum + w_max;
}

}  // namespace engine_test
