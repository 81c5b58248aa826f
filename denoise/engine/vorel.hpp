#pragma once
// The iterative patch-based denoising engine. Configure it with the set_*
// operations (each validates and leaves the member unchanged on error), then
// run() replaces an image by its denoised estimate.

#include <cstdint>

#include "core/array.hpp"
#include "core/image_view.hpp"
#include "denoise/engine/observable.hpp"
#include "denoise/engine/quantile.hpp"
#include "denoise/engine/run_control.hpp"
#include "denoise/engine/work_arrays.hpp"
#include "denoise/kernel/neighborhood_task.hpp"

namespace px {

class vorel : public observable {
public:
    // First and last position along each axis whose whole patch lies inside
    // the image; max < min means no position fits.
    struct Boundaries {
        std::int32_t x_min, x_max, y_min, y_max, z_min, z_max, t_min, t_max;
    };

    extent patch_radius{3, 3, 0, 0, 0};
    extent neighborhood_axes{1, 1, 1, 0, 1};
    std::int32_t max_iter = 4;
    float pvalue = 0.01f;
    float quantile = static_cast<float>(normal_quantile(0.01f));
    float min_variance_ratio = 1e-8f;
    float min_weight_ratio = 1e-6f;
    float min_variance = 1e-8f;
    float min_weight = 1e-6f;
    float renoise = 0.0f;
    // Progress and stop requests of a watched run; none by default.
    run_control* control = nullptr;

    void set_max_iter(int n);
    void set_patch_radius(const extent& r);
    void set_neighborhood_axes(const extent& a);
    void set_pvalue(float p);
    void set_renoise(float f);

    // Throws std::invalid_argument when a patch does not fit an image of these
    // dims: every axis must be either a single sample with radius 0 or at least
    // 2r + 1 samples long.
    void check_patch_fits(const extent& dims) const;

    // Denoises image in place; sigma is the noise standard deviation (> 0).
    // With a control, counts the work first, reports it as it goes, and
    // throws run_stopped (image unchanged) once a stop is requested.
    void run(array& image, float sigma);

    // The work of a run on an image of these dims, in the units of
    // run_control::done, counted without touching any sample.
    std::int64_t planned_work(const extent& dims);

    // The same for a noisy image read where it lies (it must stay unchanged
    // during the call); returns the denoised image.
    array run(const image_view& noisy, float sigma);

    // One iteration's patch comparisons: adds every reference patch's
    // contribution into the accumulators of work.
    void accumulate(const image_view& image, float sigma, const extent& radius, const work_arrays& work) const;

    // The same with the five arrays one by one.
    void accumulate(const image_view& image, float sigma, const extent& radius, array& estimate, array& variance,
                    array& next_estimate, array& next_variance, array& weights) const;

    // The sums of the position that follows, where accumulate_neighborhood
    // computes them alongside its own (then done is set).
    struct following_sums {
        array& patch;
        float& weight_sq_sum;
        float& weight_sum;
        bool done = false;
    };

    // Weighted sum of the noisy patches of all neighbors of (x, y, z, t), the
    // weights coming from patch distances on the current estimate. With a
    // cache (one per thread and pass), the distances of the next `following`
    // positions at x + k following_step are computed with this one's; with
    // next, the sums of the first of them may be too.
    void accumulate_neighborhood(const image_view& image, float sigma, const extent& radius, const array& estimate,
                                 const array& variance, array& patch, float& weight_sq_sum, float& weight_sum,
                                 std::int32_t x, std::int32_t y, std::int32_t z, std::int32_t t,
                                 kernel_scratch* cache = nullptr, std::int32_t following = 0,
                                 std::int32_t following_step = 0, following_sums* next = nullptr) const;

    // Reference patches on the last interior position of axis A (0 x, 1 y,
    // 2 z, 3 t), taken from boundaries, sweeping the other three axes within
    // bounds.
    template <int A>
    void accumulate_edge_patches(const image_view& image, float sigma, const extent& radius, const work_arrays& work,
                                 const Boundaries& boundaries, const extent& patch_size,
                                 const Boundaries& bounds) const;

    // Normalises one reference position's patch sum, tests it against the
    // current estimate and scatters it (or the current estimate) into the
    // accumulators.
    void add_patch_to_image_if(const array& estimate, const array& variance, array& next_estimate, array& next_variance,
                               array& weights, array& patch, float weight_sq_sum, float weight_sum, std::int32_t x,
                               std::int32_t y, std::int32_t z, std::int32_t t) const;

    // The same with the additions of policy Add (denoise/engine/accumulator_add.hpp):
    // shared_add when other threads may write the same samples meanwhile.
    template <class Add>
    void add_patch(const work_arrays& work, array& patch, float weight_sq_sum, float weight_sum, std::int32_t x,
                   std::int32_t y, std::int32_t z, std::int32_t t) const;

    // Turns the accumulators of work into the new estimate and its variance,
    // blending with the current estimate and, when renoise_variance > 0, the
    // noisy image.
    void normalize(const image_view& image, float renoise_variance, const work_arrays& work) const;

    // The same with the five arrays one by one.
    void normalize(const image_view& image, float renoise_variance, array& estimate, array& variance,
                   array& next_estimate, array& next_variance, array& weights) const;
};

}  // namespace px
