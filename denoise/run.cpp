// The iteration driver: five work arrays, a search neighbourhood that grows
// each iteration, and the exchange of estimate and accumulators.

#include <algorithm>
#include <cmath>
#include <utility>

#include "denoise/vorel.hpp"

namespace px {

namespace {

// Search radius of iteration i: doubling along x and y, growing by one along
// z, and along t by one from the third iteration on. Capped at the axis
// length, beyond which a larger radius finds no further neighbour.
extent search_radius(int i, double power_of_two, const extent& dims, const extent& axes) {
    const auto capped = [](double radius, std::int32_t size) {
        return static_cast<std::int32_t>(std::min(radius, static_cast<double>(size)));
    };
    extent radius{0, 0, 0, 0, 0};
    if (dims.x > 1 && axes.x == 1) radius.x = capped(power_of_two, dims.x);
    if (dims.y > 1 && axes.y == 1) radius.y = capped(power_of_two, dims.y);
    if (dims.z > 1 && axes.z == 1) radius.z = capped(i, dims.z);
    if (dims.t > 1 && axes.t == 1) radius.t = capped(std::max(i - 2, 0), dims.t);
    return radius;
}

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

    const float renoise_variance = renoise > 0.0f ? (sigma * sigma) / (renoise * renoise) : 0.0f;

    if (control != nullptr) {
        // Count the work of every iteration first: the passes only add up their positions.
        control->planning = true;
        for (int i = 0; i < max_iter; ++i) {
            accumulate(image, sigma, search_radius(i, std::pow(2.0, i), image.dims, neighborhood_axes), estimate,
                       variance, next_estimate, next_variance, weights);
        }
        control->planning = false;
    }

    notify();
    double power_of_two = 1.0;
    for (int i = 0; i < max_iter; ++i) {
        const extent radius = search_radius(i, power_of_two, image.dims, neighborhood_axes);
        std::swap(estimate, next_estimate);
        std::swap(variance, next_variance);
        clear(next_estimate);
        clear(next_variance);
        clear(weights);
        accumulate(image, sigma, radius, estimate, variance, next_estimate, next_variance, weights);
        if (control != nullptr && control->stop.load()) throw run_stopped();
        normalize(image, renoise_variance, estimate, variance, next_estimate, next_variance, weights);
        notify();
        power_of_two = std::pow(2.0, i + 1);
    }
    // Moved out, not copied: a copy would be a sixth image-sized array beside
    // the five. The other four go when the call returns.
    return next_estimate;
}

}  // namespace px
