// From weighted patch sums to the next estimate: the consistency test and
// scatter of each reference patch, and the per-sample normalisation and blend.

#include <algorithm>
#include <cstdint>

#include "denoise/atomic_add.hpp"
#include "denoise/patch_rows.hpp"
#include "denoise/vorel.hpp"

namespace px {

namespace {

// Consistency test threshold: the chi-square quantile for the patch's sample
// count, times the acceptance factor, recomputed from the p-value.
constexpr double acceptance_factor = 6.0;

// Adds, at every sample the patch covers, either the patch estimate with its
// variance (accepted) or the current estimate with its own variance.
template <bool Accepted>
void scatter(const array& estimate, const array& variance, array& next_estimate, array& next_variance,
             array& weights, const array& patch, float patch_variance, const extent& radius, std::int32_t x,
             std::int32_t y, std::int32_t z, std::int32_t t) {
    const std::int64_t width = 2 * std::int64_t{radius.x} + 1;
    for_each_patch_row(estimate.dims, radius, x, y, z, t, [&](std::int64_t start, std::int64_t k) {
        for (std::int64_t j = 0; j < width; ++j) {
            const std::size_t i = static_cast<std::size_t>(start + j);
            if constexpr (Accepted) {
                atomic_add(next_estimate.values[i], patch.values[static_cast<std::size_t>(k + j)]);
                atomic_add(next_variance.values[i], patch_variance);
            } else {
                atomic_add(next_estimate.values[i], estimate.values[i]);
                atomic_add(next_variance.values[i], variance.values[i]);
            }
            atomic_add(weights.values[i], 1.0f);
        }
    });
}

}  // namespace

void vorel::add_patch_to_image_if(const array& estimate, const array& variance, array& next_estimate,
                                  array& next_variance, array& weights, array& patch, float weight_sq_sum,
                                  float weight_sum, std::int32_t x, std::int32_t y, std::int32_t z,
                                  std::int32_t t) const {
    if (!(weight_sum > min_weight)) return;  // no neighbour gave weight (NaN fails too)

    const float inverse = 1.0f / weight_sum;
    for (float& value : patch.values) value = value * inverse;
    const float patch_variance = weight_sq_sum / (weight_sum * weight_sum);

    const std::int64_t width = 2 * std::int64_t{patch_radius.x} + 1;
    const float* const est = estimate.values.data();
    const float* const var = variance.values.data();
    const float* const mean = patch.values.data();
    double statistic = 0.0;
    for_each_patch_row(estimate.dims, patch_radius, x, y, z, t, [&](std::int64_t start, std::int64_t k) {
        for (std::int64_t j = 0; j < width; ++j) {
            const double d = mean[k + j] - est[start + j];
            statistic += d * d / static_cast<double>(var[start + j]);
        }
    });

    const float p = std::max(std::min(pvalue, 1.0f), 0.0f);
    const double threshold =
        chi2_threshold(normal_quantile(p), static_cast<std::int64_t>(patch.values.size()));
    if (statistic / threshold < acceptance_factor) {
        scatter<true>(estimate, variance, next_estimate, next_variance, weights, patch, patch_variance,
                      patch_radius, x, y, z, t);
    } else {
        scatter<false>(estimate, variance, next_estimate, next_variance, weights, patch, patch_variance,
                       patch_radius, x, y, z, t);
    }
}

void vorel::normalize(const array& image, float renoise_variance, array& estimate, array& variance,
                      array& next_estimate, array& next_variance, array& weights) const {
    const std::int64_t samples = static_cast<std::int64_t>(image.values.size());
    const float a = renoise_variance;
#pragma omp parallel for schedule(dynamic, 1)
    for (std::int64_t n = 0; n < samples; ++n) {
        const std::size_t i = static_cast<std::size_t>(n);
        const float count = weights.values[i];
        if (!(count > min_weight)) {
            // No contribution: keep the current estimate.
            next_estimate.values[i] = estimate.values[i];
            next_variance.values[i] = variance.values[i];
            continue;
        }
        const float e = next_estimate.values[i] / count;
        next_estimate.values[i] = e;
        const float mean_variance = next_variance.values[i] / count;
        const float f = mean_variance > min_variance ? mean_variance : min_variance;  // NaN gives the floor
        next_variance.values[i] = f;
        const float g = variance.values[i];
        const float u = estimate.values[i];

        if (a > 0.0f) {
            // Inverse-variance blend of the noisy sample, the current and the new estimate.
            const float m = (f + g) * a + f * g;
            if (m > min_weight) {
                const float r = 1.0f / m;
                const float w_y = (f * g) * r;
                const float w_u = (f * a) * r;
                const float w_e = (g * a) * r;
                next_estimate.values[i] = (image.values[i] * w_y + u * w_u) + e * w_e;
                // f g a / m = 1 / (1/a + 1/g + 1/f), so the variance keeps the intensities' unit.
                next_variance.values[i] = w_y * a;
            }
        } else {
            // Blend of the current and the new estimate.
            const float s = g + f;
            if (s > min_weight) {
                const float r = 1.0f / s;
                const float w_u = f * r;
                const float w_e = r * g;
                next_estimate.values[i] = u * w_u + e * w_e;
                next_variance.values[i] = w_u * ((s * 0.5f) * w_e + g * w_u) + (w_e * w_e) * f;
            }
        }
    }
}

}  // namespace px
