// The iteration driver: five work arrays, a search neighborhood that grows
// each iteration, and the exchange of estimate and accumulators.

#include <algorithm>
#include <utility>

#include "denoise/engine/geometry.hpp"
#include "denoise/engine/vorel.hpp"

namespace px {

namespace {

void clear(array& accumulator) { std::fill(accumulator.values.begin(), accumulator.values.end(), 0.0f); }

}  // namespace

void vorel::run(array& image, float sigma) {
    array denoised = run(image_view(image), sigma);
    image = std::move(denoised);  // the noisy samples' storage goes only now, after the work arrays
}

array vorel::run(const image_view& image, float sigma) {
    check_patch_fits(image.dims);
    min_variance = min_variance_ratio * (sigma * sigma);
    min_weight = min_weight_ratio * sigma;

    array estimate(image.dims, 0.0f);
    array variance(image.dims, 0.0f);
    array next_estimate(image.dims, image.values);
    array next_variance(image.dims, 0.25f * (sigma * sigma));
    array weights(image.dims, 0.0f);
    // The exchanges below swap the arrays' contents, so work names them by role throughout.
    const work_arrays work{estimate, variance, next_estimate, next_variance, weights};

    const float renoise_variance = renoise > 0.0f ? (sigma * sigma) / (renoise * renoise) : 0.0f;

    // Count the work of every iteration first, so that progress is a fraction of a known total.
    if (control != nullptr) control->total += planned_work(image.dims);

    notify();
    for (int i = 0; i < max_iter; ++i) {
        const extent radius = search_radius(i, image.dims, neighborhood_axes);
        std::swap(estimate, next_estimate);
        std::swap(variance, next_variance);
        clear(next_estimate);
        clear(next_variance);
        clear(weights);
        accumulate(image, sigma, radius, work);
        if (control != nullptr && control->stop.load()) throw run_stopped();
        normalize(image, renoise_variance, work);
        notify();
    }
    // Moved out, not copied: a copy would be a sixth image-sized array beside
    // the five. The other four go when the call returns.
    return next_estimate;
}

std::int64_t vorel::planned_work(const extent& dims) {
    check_patch_fits(dims);
    run_control counter;
    counter.planning = true;
    run_control* const watcher = std::exchange(control, &counter);
    // The passes only add up their positions while planning: no array is read or written.
    const image_view shape = image_view::shape_only(dims);
    array unused;
    const work_arrays no_work{unused, unused, unused, unused, unused};
    for (int i = 0; i < max_iter; ++i) accumulate(shape, 1.0f, search_radius(i, dims, neighborhood_axes), no_work);
    control = watcher;
    return counter.total;
}

}  // namespace px
