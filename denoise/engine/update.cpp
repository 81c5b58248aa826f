// From weighted patch sums to the next estimate: the consistency test and
// scatter of each reference patch, and the per-sample normalisation and blend.

#include <omp.h>

#include <algorithm>
#include <cstdint>

#include "denoise/engine/accumulator_add.hpp"
#include "denoise/engine/patch_rows.hpp"
#include "denoise/engine/vorel.hpp"

namespace px {

namespace {

// Consistency test threshold: the chi-square quantile for the patch's sample
// count, times the acceptance factor, recomputed from the p-value.
constexpr double acceptance_factor = 6.0;

// Adds, at every sample the patch covers, either the patch estimate with its
// variance (accepted) or the current estimate with its own variance, and a
// count of one. A row at a time: with owned_add the rows vectorise.
template <class Add>
inline void add_accepted_row(float* __restrict sum, float* __restrict variance_sum, float* __restrict count,
                             const float* __restrict patch_row, float patch_variance, std::int64_t width) {
    for (std::int64_t j = 0; j < width; ++j) {
        Add::add(sum[j], patch_row[j]);
        Add::add(variance_sum[j], patch_variance);
        Add::add(count[j], 1.0f);
    }
}

template <class Add>
inline void add_current_row(float* __restrict sum, float* __restrict variance_sum, float* __restrict count,
                            const float* __restrict estimate_row, const float* __restrict variance_row,
                            std::int64_t width) {
    for (std::int64_t j = 0; j < width; ++j) {
        Add::add(sum[j], estimate_row[j]);
        Add::add(variance_sum[j], variance_row[j]);
        Add::add(count[j], 1.0f);
    }
}

template <class Add, bool Accepted>
void scatter(const work_arrays& work, const array& patch, float patch_variance, const extent& radius, std::int32_t x,
             std::int32_t y, std::int32_t z, std::int32_t t) {
    const std::int64_t width = 2 * std::int64_t{radius.x} + 1;
    float* const sum = work.next_estimate.values.data();
    float* const variance_sum = work.next_variance.values.data();
    float* const count = work.weights.values.data();
    for_each_patch_row(work.estimate.dims, radius, x, y, z, t, [&](std::int64_t start, std::int64_t k) {
        if constexpr (Accepted) {
            add_accepted_row<Add>(sum + start, variance_sum + start, count + start, patch.values.data() + k,
                                  patch_variance, width);
        } else {
            add_current_row<Add>(sum + start, variance_sum + start, count + start, work.estimate.values.data() + start,
                                 work.variance.values.data() + start, width);
        }
    });
}

// The new estimate and variance of samples [begin, end): the accumulated
// means blended with the current estimate (and, with Renoise, the noisy
// image). Written without branches, so that the samples vectorise; every
// value is the one of the sample-by-sample rule.
template <bool Renoise>
void normalize_range(const float* __restrict image, float renoise_variance, float min_weight, float min_variance,
                     const float* __restrict estimate, const float* __restrict variance,
                     float* __restrict next_estimate, float* __restrict next_variance, const float* __restrict weights,
                     std::int64_t begin, std::int64_t end) {
    const float a = renoise_variance;
    for (std::int64_t i = begin; i < end; ++i) {
        const float count = weights[i];
        const float e = next_estimate[i] / count;
        const float mean_variance = next_variance[i] / count;
        const float f = mean_variance > min_variance ? mean_variance : min_variance;  // NaN gives the floor
        const float g = variance[i];
        const float u = estimate[i];
        float blended_estimate = e;
        float blended_variance = f;
        if constexpr (Renoise) {
            // Inverse-variance blend of the noisy sample, the current and the new estimate.
            const float m = (f + g) * a + f * g;
            const float r = 1.0f / m;
            const float w_y = (f * g) * r;
            const float w_u = (f * a) * r;
            const float w_e = (g * a) * r;
            // f g a / m = 1 / (1/a + 1/g + 1/f), so the variance keeps the intensities' unit.
            blended_estimate = m > min_weight ? (image[i] * w_y + u * w_u) + e * w_e : e;
            blended_variance = m > min_weight ? w_y * a : f;
        } else {
            // Blend of the current and the new estimate.
            const float s = g + f;
            const float r = 1.0f / s;
            const float w_u = f * r;
            const float w_e = r * g;
            blended_estimate = s > min_weight ? u * w_u + e * w_e : e;
            blended_variance = s > min_weight ? w_u * ((s * 0.5f) * w_e + g * w_u) + (w_e * w_e) * f : f;
        }
        // No contribution (NaN count too): keep the current estimate.
        const bool covered = count > min_weight;
        next_estimate[i] = covered ? blended_estimate : u;
        next_variance[i] = covered ? blended_variance : g;
    }
}

}  // namespace

void vorel::add_patch_to_image_if(const array& estimate, const array& variance, array& next_estimate,
                                  array& next_variance, array& weights, array& patch, float weight_sq_sum,
                                  float weight_sum, std::int32_t x, std::int32_t y, std::int32_t z,
                                  std::int32_t t) const {
    add_patch<shared_add>(work_arrays{estimate, variance, next_estimate, next_variance, weights}, patch, weight_sq_sum,
                          weight_sum, x, y, z, t);
}

template <class Add>
void vorel::add_patch(const work_arrays& work, array& patch, float weight_sq_sum, float weight_sum, std::int32_t x,
                      std::int32_t y, std::int32_t z, std::int32_t t) const {
    if (!(weight_sum > min_weight)) return;  // no neighbor gave weight (NaN fails too)

    const float inverse = 1.0f / weight_sum;
    for (float& value : patch.values) value = value * inverse;
    const float patch_variance = weight_sq_sum / (weight_sum * weight_sum);

    const std::int64_t width = 2 * std::int64_t{patch_radius.x} + 1;
    const float* const est = work.estimate.values.data();
    const float* const var = work.variance.values.data();
    const float* const mean = patch.values.data();
    double statistic = 0.0;
    for_each_patch_row(work.estimate.dims, patch_radius, x, y, z, t, [&](std::int64_t start, std::int64_t k) {
        for (std::int64_t j = 0; j < width; ++j) {
            const double d = mean[k + j] - est[start + j];
            statistic += d * d / static_cast<double>(var[start + j]);
        }
    });

    const float p = std::max(std::min(pvalue, 1.0f), 0.0f);
    const double threshold = chi2_threshold(normal_quantile(p), static_cast<std::int64_t>(patch.values.size()));
    if (statistic / threshold < acceptance_factor) {
        scatter<Add, true>(work, patch, patch_variance, patch_radius, x, y, z, t);
    } else {
        scatter<Add, false>(work, patch, patch_variance, patch_radius, x, y, z, t);
    }
}

template void vorel::add_patch<shared_add>(const work_arrays&, array&, float, float, std::int32_t, std::int32_t,
                                           std::int32_t, std::int32_t) const;
template void vorel::add_patch<owned_add>(const work_arrays&, array&, float, float, std::int32_t, std::int32_t,
                                          std::int32_t, std::int32_t) const;

void vorel::normalize(const image_view& image, float renoise_variance, array& estimate, array& variance,
                      array& next_estimate, array& next_variance, array& weights) const {
    normalize(image, renoise_variance, work_arrays{estimate, variance, next_estimate, next_variance, weights});
}

void vorel::normalize(const image_view& image, float renoise_variance, const work_arrays& work) const {
    const std::int64_t samples = image.samples;
    const auto range = renoise_variance > 0.0f ? normalize_range<true> : normalize_range<false>;
    // Every sample is independent of the others: contiguous chunks, one per thread.
#pragma omp parallel
    {
        const std::int64_t threads = omp_get_num_threads();
        const std::int64_t thread = omp_get_thread_num();
        range(image.values, renoise_variance, min_weight, min_variance, work.estimate.values.data(),
              work.variance.values.data(), work.next_estimate.values.data(), work.next_variance.values.data(),
              work.weights.values.data(), samples * thread / threads, samples * (thread + 1) / threads);
    }
}

}  // namespace px
