// One iteration's patch comparisons: the interior pass over a sparse grid of
// reference positions and the edge passes that reach the far faces. All
// passes are one generic sweep over an index space of reference positions.

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <type_traits>

#include "denoise/engine/geometry.hpp"
#include "denoise/engine/reference_grid.hpp"
#include "denoise/engine/sweep.hpp"
#include "denoise/engine/vorel.hpp"
#include "denoise/kernel/kernel_path.hpp"

namespace px {

namespace {

// An edge pass places reference patches on the last interior position of an
// axis. It runs for radii above 1, and for radius 1 where the interior grid
// stops short of that position (otherwise the last sample would stay noisy).
bool edge_pass_runs(std::int32_t radius, std::int32_t size, std::int32_t min, std::int32_t max, std::int32_t step) {
    if (size <= 1 || radius < 1 || max < min) return false;
    if (radius > 1) return true;
    const std::int64_t last_on_grid = min + std::int64_t{step} * ((std::int64_t{max} - min) / step);
    return last_on_grid < max;
}

}  // namespace

void vorel::accumulate(const image_view& image, float sigma, const extent& radius, array& estimate, array& variance,
                       array& next_estimate, array& next_variance, array& weights) const {
    accumulate(image, sigma, radius, work_arrays{estimate, variance, next_estimate, next_variance, weights});
}

void vorel::accumulate(const image_view& image, float sigma, const extent& radius, const work_arrays& work) const {
    if (image.empty()) return;
    check_patch_fits(image.dims);
    const extent& dims = image.dims;
    const extent& r = patch_radius;
    const extent patch_size{2 * r.x + 1, 2 * r.y + 1, 2 * r.z + 1, dims.c, 2 * r.t + 1};
    const extent step = grid_step(r, dims);
    const Boundaries boundaries{r.x, dims.x - r.x - 1, r.y, dims.y - r.y - 1,
                                r.z, dims.z - r.z - 1, r.t, dims.t - r.t - 1};
    // Sweep limits: an axis of a single sample has the one position 0.
    const Boundaries bounds{dims.x > 1 ? boundaries.x_min : 0, dims.x > 1 ? boundaries.x_max : 0,
                            dims.y > 1 ? boundaries.y_min : 0, dims.y > 1 ? boundaries.y_max : 0,
                            dims.z > 1 ? boundaries.z_min : 0, dims.z > 1 ? boundaries.z_max : 0,
                            dims.t > 1 ? boundaries.t_min : 0, dims.t > 1 ? boundaries.t_max : 0};

    const std::int32_t steps[4] = {step.x, step.y, step.z, step.t};
    const std::int32_t mins[4] = {bounds.x_min, bounds.y_min, bounds.z_min, bounds.t_min};
    const std::int32_t maxs[4] = {bounds.x_max, bounds.y_max, bounds.z_max, bounds.t_max};
    reference_grid interior{};
    for (int a = 0; a < 4; ++a) {
        interior.first[a] = mins[a];
        interior.step[a] = steps[a];
        interior.count[a] = maxs[a] < mins[a] ? 0 : (maxs[a] - mins[a] + steps[a]) / steps[a];
    }
    sweep(*this, interior, patch_size, image, sigma, radius, work);

    const std::int32_t radii[4] = {r.x, r.y, r.z, r.t};
    const std::int32_t sizes[4] = {dims.x, dims.y, dims.z, dims.t};
    const std::int32_t interior_min[4] = {boundaries.x_min, boundaries.y_min, boundaries.z_min, boundaries.t_min};
    const std::int32_t interior_max[4] = {boundaries.x_max, boundaries.y_max, boundaries.z_max, boundaries.t_max};
    const auto edge = [&](auto axis_tag) {
        constexpr int A = decltype(axis_tag)::value;
        if (!edge_pass_runs(radii[A], sizes[A], interior_min[A], interior_max[A], steps[A])) return;
        accumulate_edge_patches<A>(image, sigma, radius, work, boundaries, patch_size, bounds);
    };
    edge(std::integral_constant<int, 0>{});
    edge(std::integral_constant<int, 1>{});
    edge(std::integral_constant<int, 2>{});
    edge(std::integral_constant<int, 3>{});
}

template <int A>
void vorel::accumulate_edge_patches(const image_view& image, float sigma, const extent& radius, const work_arrays& work,
                                    const Boundaries& boundaries, const extent& patch_size,
                                    const Boundaries& bounds) const {
    static_assert(A >= 0 && A < 4, "edge passes exist for x, y, z and t");
    const std::int32_t mins[4] = {bounds.x_min, bounds.y_min, bounds.z_min, bounds.t_min};
    const std::int32_t maxs[4] = {bounds.x_max, bounds.y_max, bounds.z_max, bounds.t_max};
    const std::int32_t fixed[4] = {boundaries.x_max, boundaries.y_max, boundaries.z_max, boundaries.t_max};
    reference_grid grid{};
    for (int a = 0; a < 4; ++a) {
        grid.step[a] = 1;
        grid.first[a] = a == A ? fixed[a] : mins[a];
        grid.count[a] = a == A ? 1 : (maxs[a] < mins[a] ? 0 : maxs[a] - mins[a] + 1);
    }
    sweep(*this, grid, patch_size, image, sigma, radius, work);
}

void vorel::accumulate_neighborhood(const image_view& image, float sigma, const extent& radius, const array& estimate,
                                    const array& variance, array& patch, float& weight_sq_sum, float& weight_sum,
                                    std::int32_t x, std::int32_t y, std::int32_t z, std::int32_t t,
                                    kernel_scratch* cache, std::int32_t following, std::int32_t following_step,
                                    following_sums* next) const {
    const extent& dims = image.dims;
    const extent& r = patch_radius;
    const neighborhood_task task{{dims.x, dims.y, dims.z, dims.t},
                                 {r.x, r.y, r.z, r.t},
                                 {radius.x, radius.y, radius.z, radius.t},
                                 dims.c,
                                 {x, y, z, t},
                                 image.values,
                                 estimate.values.data(),
                                 variance.values.data(),
                                 patch.values.data(),
                                 sigma,
                                 chi2_threshold(quantile, static_cast<std::int64_t>(patch.values.size())),
                                 &weight_sq_sum,
                                 &weight_sum,
                                 cache,
                                 following,
                                 following_step,
                                 next != nullptr ? next->patch.values.data() : nullptr,
                                 next != nullptr ? &next->weight_sq_sum : nullptr,
                                 next != nullptr ? &next->weight_sum : nullptr,
                                 next != nullptr ? &next->done : nullptr};
    neighborhood_sum(active_kernel_path(), task);
}

}  // namespace px
